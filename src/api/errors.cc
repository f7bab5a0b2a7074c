// errors.cc: the API's error table.
// SPDX-License-Identifier: MIT
#include "api/errors.h"

#include "util/log.h"

namespace marloven {

namespace {

struct error_entry {
    std::string_view name;
    std::string_view message;
    api_error code;
    std::int32_t http_status;
};

constexpr error_entry error_table[] = {
    {"InternalError", "Internal Error", api_error::InternalError, 500},
    {"AccessViolation", "Access violation", api_error::AccessViolation, 400},
    {"InUse", "Resource in use", api_error::InUse, 400},
    {"CannotLoadPluginDLLs", "Can't load plugin DLLs", api_error::CannotLoadPluginDLLs, 400},
    {"ErrorInvalidEntity", "Invalid entity", api_error::ErrorInvalidEntity, 400},
    {"ErrorWritingEntity", "Error writing entity", api_error::ErrorWritingEntity, 400},
    {"ErrorReadingEntity", "Error reading entity", api_error::ErrorReadingEntity, 400},
    {"BadMagic", "Bad magic number", api_error::BadMagic, 400},
    {"UnsupportedMIMEType", "Unsupported document type", api_error::UnsupportedMIMEType, 400},
    {"FilterMismatch", "Document URL doesn't match source filters", api_error::FilterMismatch, 400},
    {"MaxDocuments", "Document storage limit reached", api_error::MaxDocuments, 400},
    {"BadQuery", "Bad query", api_error::BadQuery, 400},
};

const error_entry* find_entry(api_error code) {
    for (const auto& e : error_table) {
        if (e.code == code) {
            return &e;
        }
    }
    return nullptr;
}

}  // namespace

void reset_result(api_result& result) {
    result.ok = 1;
    result.name.clear();
    result.http_status = 200;
    result.message.clear();
    result.code = 0;
}

void set_error(api_result& result, api_error code) {
    const error_entry* e = find_entry(code);
    VANT_CHECK(e != nullptr, "API error code without a table entry");
    result.ok = 0;
    result.name = e->name;
    result.http_status = e->http_status;
    result.message = e->message;
    result.code = static_cast<std::int32_t>(e->code);
}

std::string_view error_name(api_error code) {
    const error_entry* e = find_entry(code);
    return e != nullptr ? e->name : std::string_view();
}

std::string_view error_message(api_error code) {
    const error_entry* e = find_entry(code);
    return e != nullptr ? e->message : std::string_view();
}

}  // namespace marloven
