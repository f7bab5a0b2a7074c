// full_disk.cc: SQLite's default file layer with its write method swapped for one that refuses
// writes on demand.
// SPDX-License-Identifier: MIT
#include "support/full_disk.h"

#include <map>
#include <memory>
#include <mutex>

namespace vant_test {

namespace {

// For every method table of the real layer, a copy whose xWrite is ours, and the way back.
std::mutex tables_mutex;
std::map<const sqlite3_io_methods*, std::unique_ptr<sqlite3_io_methods>> copies;
std::map<const sqlite3_io_methods*, const sqlite3_io_methods*> originals;

const sqlite3_io_methods* original(sqlite3_file* f) {
    std::scoped_lock lock(tables_mutex);
    return originals.at(f->pMethods);
}

}  // namespace

std::atomic<bool> full_disk::full_{false};
std::atomic<int> full_disk::writes_left_{-1};

int full_disk::write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
    if (writes_left_ == 0) {
        full_ = true;
    } else if (writes_left_ > 0) {
        --writes_left_;
    }
    return full_ ? SQLITE_FULL : original(f)->xWrite(f, data, amount, offset);
}

// The file is the real layer's own; only its method table is replaced by the copy.
int full_disk::open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                    int* out_flags) {
    auto* under = static_cast<sqlite3_vfs*>(vfs->pAppData);
    int rc = under->xOpen(under, name, file, flags, out_flags);
    if (file->pMethods != nullptr) {
        std::scoped_lock lock(tables_mutex);
        auto& copy = copies[file->pMethods];
        if (!copy) {
            copy = std::make_unique<sqlite3_io_methods>(*file->pMethods);
            copy->xWrite = write;
            originals[copy.get()] = file->pMethods;
        }
        file->pMethods = copy.get();
    }
    return rc;
}

full_disk::full_disk() : real_(sqlite3_vfs_find(nullptr)), vfs_(*real_) {
    vfs_.zName = "vant_full_disk";
    vfs_.pAppData = real_;
    vfs_.xOpen = open;
    sqlite3_vfs_register(&vfs_, 1);
}

full_disk::~full_disk() {
    set_full(false);
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(real_, 1);
}

}  // namespace vant_test
