// errors.cc: the API's error table.
// SPDX-License-Identifier: MIT
#include "api/errors.h"

#include "util/log.h"

namespace marloven {

namespace {

struct error_entry {
    api_error code;
    std::string_view name;
    std::int32_t http_status;
    std::string_view message;
};

constexpr error_entry error_table[] = {
    {api_error::InternalError, "InternalError", 500, "Internal Error"},
    {api_error::AccessViolation, "AccessViolation", 400, "Access violation"},
    {api_error::InUse, "InUse", 400, "Resource in use"},
    {api_error::CannotLoadPluginDLLs, "CannotLoadPluginDLLs", 400, "Can't load plugin DLLs"},
    {api_error::ErrorInvalidEntity, "ErrorInvalidEntity", 400, "Invalid entity"},
    {api_error::ErrorWritingEntity, "ErrorWritingEntity", 400, "Error writing entity"},
    {api_error::ErrorReadingEntity, "ErrorReadingEntity", 400, "Error reading entity"},
    {api_error::BadMagic, "BadMagic", 400, "Bad magic number"},
    {api_error::UnsupportedMIMEType, "UnsupportedMIMEType", 400, "Unsupported document type"},
    {api_error::FilterMismatch, "FilterMismatch", 400, "Document URL doesn't match source filters"},
    {api_error::MaxDocuments, "MaxDocuments", 400, "Document storage limit reached"},
    {api_error::BadQuery, "BadQuery", 400, "Bad query"},
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
