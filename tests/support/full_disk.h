// full_disk.h: a disk that fills up on demand, for SQLite. While an object lives, its file
// layer is SQLite's default, so every connection opened meanwhile goes through it; once it is
// set full, every write of those connections fails as on a full disk (SQLITE_FULL).
// SPDX-License-Identifier: MIT
#pragma once

#include <sqlite3.h>

#include <atomic>

namespace vant_test {

// Ownership: connections opened through it must be closed before it is destroyed.
// Threads: set_full() may be called from any thread.
class full_disk {
  public:
    full_disk();
    ~full_disk();
    full_disk(const full_disk&) = delete;
    full_disk& operator=(const full_disk&) = delete;

    void set_full(bool full) {
        writes_left_ = -1;
        full_ = full;
    }
    // The disk fills up after `writes` more writes.
    void set_full_after(int writes) {
        full_ = false;
        writes_left_ = writes;
    }

  private:
    static std::atomic<bool> full_;
    static std::atomic<int> writes_left_;  // -1: no countdown
    static int write(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset);
    static int open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                    int* out_flags);

    sqlite3_vfs* real_;
    sqlite3_vfs vfs_;
};

}  // namespace vant_test
