// full_disk.cc: a file layer over SQLite's default one that refuses writes on demand.
// SPDX-License-Identifier: MIT
#include "support/full_disk.h"

#include <cstddef>

namespace vant_test {

namespace {

// The file handle: ours first, the real layer's right behind it.
struct shim_file {
    sqlite3_file base;
    sqlite3_file* real;
};

sqlite3_file* real(sqlite3_file* f) {
    return reinterpret_cast<shim_file*>(f)->real;
}

const sqlite3_io_methods* methods(sqlite3_file* f) {
    return real(f)->pMethods;
}

int close_file(sqlite3_file* f) {
    return methods(f)->xClose(real(f));
}
int read_file(sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
    return methods(f)->xRead(real(f), data, amount, offset);
}
int sync_file(sqlite3_file* f, int flags) {
    return methods(f)->xSync(real(f), flags);
}
int file_size(sqlite3_file* f, sqlite3_int64* size) {
    return methods(f)->xFileSize(real(f), size);
}
int lock(sqlite3_file* f, int level) {
    return methods(f)->xLock(real(f), level);
}
int unlock(sqlite3_file* f, int level) {
    return methods(f)->xUnlock(real(f), level);
}
int check_reserved(sqlite3_file* f, int* out) {
    return methods(f)->xCheckReservedLock(real(f), out);
}
int file_control(sqlite3_file* f, int op, void* arg) {
    return methods(f)->xFileControl(real(f), op, arg);
}
int sector_size(sqlite3_file* f) {
    return methods(f)->xSectorSize(real(f));
}
int device_characteristics(sqlite3_file* f) {
    return methods(f)->xDeviceCharacteristics(real(f));
}
int shm_map(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    return methods(f)->xShmMap(real(f), page, size, extend, out);
}
int shm_lock(sqlite3_file* f, int offset, int n, int flags) {
    return methods(f)->xShmLock(real(f), offset, n, flags);
}
void shm_barrier(sqlite3_file* f) {
    methods(f)->xShmBarrier(real(f));
}
int shm_unmap(sqlite3_file* f, int remove) {
    return methods(f)->xShmUnmap(real(f), remove);
}
int fetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
    return methods(f)->xFetch(real(f), offset, amount, out);
}
int unfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
    return methods(f)->xUnfetch(real(f), offset, page);
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
    return full_ ? SQLITE_FULL : methods(f)->xWrite(real(f), data, amount, offset);
}

int full_disk::truncate(sqlite3_file* f, sqlite3_int64 size) {
    return methods(f)->xTruncate(real(f), size);
}

int full_disk::open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                    int* out_flags) {
    static const sqlite3_io_methods io = {3,
                                          close_file,
                                          read_file,
                                          write,
                                          truncate,
                                          sync_file,
                                          file_size,
                                          lock,
                                          unlock,
                                          check_reserved,
                                          file_control,
                                          sector_size,
                                          device_characteristics,
                                          shm_map,
                                          shm_lock,
                                          shm_barrier,
                                          shm_unmap,
                                          fetch,
                                          unfetch};
    auto* under = static_cast<sqlite3_vfs*>(vfs->pAppData);
    auto* f = reinterpret_cast<shim_file*>(file);
    f->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + sizeof(shim_file));
    int rc = under->xOpen(under, name, f->real, flags, out_flags);
    f->base.pMethods = f->real->pMethods != nullptr ? &io : nullptr;
    return rc;
}

full_disk::full_disk() : real_(sqlite3_vfs_find(nullptr)), vfs_(*real_) {
    vfs_.szOsFile = static_cast<int>(sizeof(shim_file)) + real_->szOsFile;
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
