// errors.h: the outcome of every API operation: success, or one entry of the fixed error table
// (number, symbolic name, HTTP status, message) that the SOAP and REST front ends answer with.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace marloven {

// Error numbers; they cross the network (SOAP fault texts carry the names, REST replies the
// HTTP status and message). 4, 5 and 13 are not assigned.
enum class api_error : std::int32_t {
    none = 0,
    InternalError = 1,
    AccessViolation = 2,
    InUse = 3,
    CannotLoadPluginDLLs = 6,
    ErrorInvalidEntity = 7,
    ErrorWritingEntity = 8,
    ErrorReadingEntity = 9,
    BadMagic = 10,
    UnsupportedMIMEType = 11,
    FilterMismatch = 12,
    MaxDocuments = 14,
    BadQuery = 15,
};

// The result record of one operation call, owned by the caller.
struct api_result {
    std::int32_t ok = 1;  // 1 success, 0 failure
    std::string name;     // symbolic error name, e.g. "BadMagic"
    std::int32_t http_status = 200;
    std::string message;    // e.g. "Bad magic number"
    std::int32_t code = 0;  // the error number; 0 for success

    bool failed() const { return ok == 0; }
    api_error error() const { return static_cast<api_error>(code); }
};

// Resets `result` to success (every operation does this on entry).
void reset_result(api_result& result);

// Copies the table entry of `code` into `result`. A code without an entry is a broken invariant.
void set_error(api_result& result, api_error code);

// The table entry's name and message of `code` (empty for a code without an entry).
std::string_view error_name(api_error code);
std::string_view error_message(api_error code);

}  // namespace marloven
