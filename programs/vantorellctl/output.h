// output.h: how vantorellctl shows what the daemon answers: tables with aligned columns, records
// as indented name and value lines that follow the service's description of their type, and
// times in UTC.
// SPDX-License-Identifier: MIT
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "soap/service.h"
#include "soap/value.h"

namespace marloven::ctl {

// Rows under headings, each column as wide as its widest cell.
struct table {
    std::vector<std::string> headings;
    std::vector<std::vector<std::string>> rows;

    void print(std::ostream& out) const;
};

// The elements of record `v` of type `t`, one "Name  value" line each, nested records and arrays
// of records indented below their name; an access list entry as "name:read" or "name:write",
// with ":deny" for a denial.
void print_record(std::ostream& out, const soap::type& t, const soap::value& v, int indent = 0);

// An access list entry as print_record shows it.
std::string access_text(const soap::value& entry);

// Seconds since 1970 (as text) as "YYYY-MM-DD hh:mm:ss" in UTC; "-" for 0.
std::string utc_time(const std::string& seconds);

// The texts of an array's items, joined with `separator`.
std::string joined(const soap::value* array, const std::string& separator = ", ");

}  // namespace marloven::ctl
