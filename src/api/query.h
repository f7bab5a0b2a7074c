// query.h: the query operation: searching the archives a caller may read, with the query
// record's parser, a watch's saved query and a collection's archives, and logging the query.
// SPDX-License-Identifier: MIT
//
// Frame as in api/operations.h: the operation resets the result, refuses with AccessViolation,
// and runs inside the caller's `api_transaction`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/api-common.h"
#include "idxstorage/idxstorage.h"
#include "records/records.h"

namespace marloven {

// The query record.
struct query_request {
    std::vector<int> archives;
    int collection = 0;  // -1: every archive the caller may read
    int watch = 0;       // 0 or less: none
    std::int32_t first = 0;
    std::int32_t last = 9;
    std::uint32_t min_time = 0;
    std::uint32_t max_time = 0;
    std::uint32_t min_score = 0;
    query_info info = query_info::INFO_TITLE;
    int view = 0;  // 1: only documents whose core text changed
    query_sort sort = query_sort::SORT_STANDARD;
    query_parser parser = query_parser::none;
    std::vector<query_atom> atoms;  // the query itself with parser none
    std::string text;               // parsed with `parser` otherwise
    std::vector<slice_weight> weights;
};

// Runs a query over the archives the caller may read (read access on each archive named;
// archives of collection -1 that the caller may not read are skipped), with a watch's query and
// collection when one is named, and logs it per archive. `count` is the number of hits (-1 when
// the index failed) and `hits` those from `first` to `last`. BadQuery when a text does not
// parse, the atoms are no well-formed expression, or the query breaks a limit of the index
// (idxstorage::query_refusal: terms, slice weights, more than max_hits_per_query hits, a first
// hit beyond max_first_hit); such a query is neither searched nor logged. `documents` gives the
// contexts of hits (INFO_CONTEXT). Runs inside the caller's transaction, or without one (the
// reads then each see a committed state); either way the index query and the query log happen
// outside any transaction, the log rows committed before it returns.
void Query(const api_session& s, api_result& r, query_request& q, std::vector<query_hit>& hits,
           std::int32_t& count);

}  // namespace marloven
