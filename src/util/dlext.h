// dlext.h: p_dlext, loader of every shared library of a directory that exports an entry point.
// Used by the plug-in system to find plug-in libraries.
// SPDX-License-Identifier: MIT
#pragma once

#include <map>
#include <string>
#include <vector>

namespace marloven {

// Ownership: owns the loaded libraries and unloads them when destroyed.
// Failure: libraries that cannot be loaded or lack the entry point are reported as texts in
// reports() and left out; nothing is thrown.
// Threads: one thread at a time.
class p_dlext {
  public:
    // Loads every "*.so" file of `directory` (in name order) that exports `entry_point`.
    p_dlext(const std::string& directory, const std::string& entry_point);
    virtual ~p_dlext();
    p_dlext(const p_dlext&) = delete;
    p_dlext& operator=(const p_dlext&) = delete;

    // Library path to module handle, for every library kept.
    const std::map<std::string, void*>& modules() const { return modules_; }
    // The paths of the libraries kept, in load order.
    const std::vector<std::string>& libraries() const { return libraries_; }
    // One text per library that could not be used.
    const std::vector<std::string>& reports() const { return reports_; }
    // The entry point of a kept library.
    void* entry(const std::string& library) const;

  private:
    std::string entry_point_;
    std::map<std::string, void*> modules_;
    std::vector<std::string> libraries_;
    std::vector<std::string> reports_;
};

}  // namespace marloven
