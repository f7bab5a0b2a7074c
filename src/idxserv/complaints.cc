// complaints.cc: the rate limit of the index server's failure reports.
// SPDX-License-Identifier: MIT
#include "idxserv/complaints.h"

#include <ostream>
#include <utility>

namespace marloven {

complaint_limiter::complaint_limiter(std::uint64_t burst, std::int64_t period, clock_function now)
    : burst_(burst), period_(period), now_(std::move(now)), period_start_(now_()) {}

void complaint_limiter::report(std::ostream& out, const std::string& line) {
    const std::int64_t now = now_();
    if (now - period_start_ >= period_) {
        if (held_ > 0) {
            out << "idxserv: " << held_ << " more failures were not reported" << std::endl;
        }
        period_start_ = now;
        reported_ = 0;
        held_ = 0;
    }
    if (reported_ < burst_) {
        ++reported_;
        out << line << std::endl;
        return;
    }
    if (held_++ == 0) {
        out << "idxserv: over " << burst_ << " failures in " << period_
            << " seconds; further ones are counted until the period ends" << std::endl;
    }
}

}  // namespace marloven
