// dlext.cc: directory scan and dlopen/dlsym for p_dlext.
// SPDX-License-Identifier: MIT
#include "util/dlext.h"

#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>

#include "util/log.h"

namespace marloven {

p_dlext::p_dlext(const std::string& directory, const std::string& entry_point)
    : entry_point_(entry_point) {
    std::vector<std::string> names;
    if (DIR* d = opendir(directory.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0) {
                names.push_back(name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        std::string path = directory + "/" + name;
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* err = dlerror();
            reports_.push_back(err != nullptr ? err : path);
            continue;
        }
        dlerror();
        if (dlsym(handle, entry_point.c_str()) == nullptr) {
            reports_.push_back("DLL " + path + " doesn't export " + entry_point);
            dlclose(handle);
            continue;
        }
        modules_.emplace(path, handle);
        libraries_.push_back(path);
    }
}

p_dlext::~p_dlext() {
    for (auto& [path, handle] : modules_) {
        if (dlclose(handle) != 0) {
            const char* err = dlerror();
            report_to_event_log(0, "Error unloading dll: %s", err != nullptr ? err : path.c_str());
        }
    }
}

void* p_dlext::entry(const std::string& library) const {
    auto it = modules_.find(library);
    if (it == modules_.end()) {
        return nullptr;
    }
    return dlsym(it->second, entry_point_.c_str());
}

}  // namespace marloven
