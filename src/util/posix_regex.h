// posix_regex.h: a POSIX regular expression (regcomp/regexec) owned by one object and freed on
// every path; used for robots rules and the URL filters of sources.
// SPDX-License-Identifier: MIT
#pragma once

#include <regex.h>

#include <string>

namespace marloven {

// Purpose: one compiled expression, tested against whole texts without sub-match reporting.
// Ownership: owns the compiled form; not copyable.
// Failure: an expression that does not compile gives ok() false and matches nothing.
// Threads: matching on one object from several threads is safe; construction is not shared.
class compiled_regex {
  public:
    // `flags` are regcomp's; REG_NOSUB is always added.
    explicit compiled_regex(const std::string& expression, int flags = REG_EXTENDED)
        : ok_(::regcomp(&re_, expression.c_str(), flags | REG_NOSUB) == 0) {}
    ~compiled_regex() {
        if (ok_) {
            ::regfree(&re_);
        }
    }
    compiled_regex(const compiled_regex&) = delete;
    compiled_regex& operator=(const compiled_regex&) = delete;

    bool ok() const { return ok_; }
    // True when the expression matches anywhere in `text` (up to its first NUL byte).
    bool matches(const std::string& text) const {
        return ok_ && ::regexec(&re_, text.c_str(), 0, nullptr, 0) == 0;
    }

  private:
    regex_t re_{};
    bool ok_;
};

}  // namespace marloven
