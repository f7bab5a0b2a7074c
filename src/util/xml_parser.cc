// xml_parser.cc: the guarded expat parser.
// SPDX-License-Identifier: MIT
#include "util/xml_parser.h"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "util/charsets.h"
#include "util/log.h"

namespace marloven {

namespace {

// The parser whose memory the expat allocations of this thread count against. expat's memory
// functions take no context, and a parser is only ever used on one thread at a time.
thread_local guarded_xml_parser* memory_owner = nullptr;

class owner_scope {
  public:
    explicit owner_scope(guarded_xml_parser* p) : previous_(memory_owner) { memory_owner = p; }
    ~owner_scope() { memory_owner = previous_; }
    owner_scope(const owner_scope&) = delete;
    owner_scope& operator=(const owner_scope&) = delete;

  private:
    guarded_xml_parser* previous_;
};

// Each block carries its size in front, so that realloc and free can count it.
constexpr std::size_t block_header = alignof(std::max_align_t);

// Splits expat's "uri<separator>local" into its parts.
std::pair<std::string_view, std::string_view> split_name(const char* qualified) {
    std::string_view text(qualified);
    std::size_t sep = text.rfind(guarded_xml_parser::separator);
    if (sep == std::string_view::npos) {
        return {std::string_view(), text};
    }
    return {text.substr(0, sep), text.substr(sep + 1)};
}

}  // namespace

std::optional<std::string_view> xml_attributes::find(std::string_view ns,
                                                     std::string_view name) const {
    for (const char** p = pairs_; p != nullptr && *p != nullptr; p += 2) {
        auto [uri, local] = split_name(p[0]);
        if (uri == ns && local == name) {
            return std::string_view(p[1]);
        }
    }
    return std::nullopt;
}

struct guarded_xml_parser::memory {
    // Counts `size` more bytes in use; false when that would pass the limit.
    static bool take(std::size_t size) {
        guarded_xml_parser* owner = memory_owner;
        if (owner == nullptr) {
            return true;
        }
        if (size > owner->limits_.max_parser_memory -
                       std::min(owner->memory_in_use_, owner->limits_.max_parser_memory)) {
            return false;
        }
        owner->memory_in_use_ += size;
        owner->stats_.parser_memory_peak =
            std::max(owner->stats_.parser_memory_peak, owner->memory_in_use_);
        return true;
    }
    static void give_back(std::size_t size) {
        if (guarded_xml_parser* owner = memory_owner) {
            owner->memory_in_use_ -= std::min(size, owner->memory_in_use_);
        }
    }

    static void* allocate(std::size_t size) {
        if (size > SIZE_MAX - block_header || !take(size)) {
            return nullptr;
        }
        auto* block = static_cast<unsigned char*>(std::malloc(size + block_header));
        if (block == nullptr) {
            give_back(size);
            return nullptr;
        }
        std::memcpy(block, &size, sizeof size);
        return block + block_header;
    }
    static void release(void* p) {
        if (p == nullptr) {
            return;
        }
        auto* block = static_cast<unsigned char*>(p) - block_header;
        std::size_t size = 0;
        std::memcpy(&size, block, sizeof size);
        give_back(size);
        std::free(block);
    }
    static void* reallocate(void* p, std::size_t size) {
        if (p == nullptr) {
            return allocate(size);
        }
        auto* block = static_cast<unsigned char*>(p) - block_header;
        std::size_t old = 0;
        std::memcpy(&old, block, sizeof old);
        if (size > old && (size > SIZE_MAX - block_header || !take(size - old))) {
            return nullptr;
        }
        auto* grown = static_cast<unsigned char*>(std::realloc(block, size + block_header));
        if (grown == nullptr) {
            if (size > old) {
                give_back(size - old);
            }
            return nullptr;
        }
        if (size < old) {
            give_back(old - size);
        }
        std::memcpy(grown, &size, sizeof size);
        return grown + block_header;
    }
};

struct guarded_xml_parser::callbacks {
    static guarded_xml_parser& self(void* data) { return *static_cast<guarded_xml_parser*>(data); }

    static void start(void* data, const XML_Char* name, const XML_Char** attributes) {
        guarded_xml_parser& p = self(data);
        if (p.failed()) {
            return;
        }
        if (p.depth_ + 1 > p.limits_.max_depth) {
            p.stop("Elements nested deeper than " + std::to_string(p.limits_.max_depth) +
                   " levels");
            return;
        }
        if (p.stats_.elements + 1 > p.limits_.max_elements) {
            p.stop("More than " + std::to_string(p.limits_.max_elements) + " elements");
            return;
        }
        ++p.depth_;
        ++p.stats_.elements;
        p.stats_.deepest = std::max(p.stats_.deepest, p.depth_);
        auto [ns, local] = split_name(name);
        p.handler_.start_element(ns, local, xml_attributes(attributes));
    }
    static void end(void* data, const XML_Char*) {
        guarded_xml_parser& p = self(data);
        if (p.failed()) {
            return;
        }
        --p.depth_;
        p.handler_.end_element();
    }
    static void text(void* data, const XML_Char* s, int length) {
        guarded_xml_parser& p = self(data);
        if (p.failed() || length <= 0) {
            return;
        }
        p.stats_.text += static_cast<std::size_t>(length);
        p.handler_.text(std::string_view(s, static_cast<std::size_t>(length)));
    }
    static void start_namespace(void* data, const XML_Char* prefix, const XML_Char* uri) {
        guarded_xml_parser& p = self(data);
        if (!p.failed()) {
            p.handler_.start_namespace(prefix != nullptr ? prefix : "", uri != nullptr ? uri : "");
        }
    }
    static void end_namespace(void* data, const XML_Char* prefix) {
        guarded_xml_parser& p = self(data);
        if (!p.failed()) {
            p.handler_.end_namespace(prefix != nullptr ? prefix : "");
        }
    }
    // A document type declaration could declare entities (whose expansion can take any amount
    // of memory) or name external ones (files, URLs): the document is refused before any of it
    // is read.
    static void doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        self(data).stop("Document type declarations are not allowed");
    }
    static void entity(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                       const XML_Char*, const XML_Char*, const XML_Char*) {
        self(data).stop("Entity declarations are not allowed");
    }
};

guarded_xml_parser::guarded_xml_parser(xml_handler& handler, const char* encoding,
                                       xml_limits limits)
    : handler_(handler), limits_(limits) {
    static const XML_Memory_Handling_Suite suite{memory::allocate, memory::reallocate,
                                                 memory::release};
    owner_scope scope(this);
    const XML_Char separator_text[] = {separator, '\0'};
    parser_ = XML_ParserCreate_MM(encoding, &suite, separator_text);
    VANT_CHECK(parser_ != nullptr, "Cannot create an XML parser");
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, callbacks::start, callbacks::end);
    XML_SetCharacterDataHandler(parser_, callbacks::text);
    XML_SetNamespaceDeclHandler(parser_, callbacks::start_namespace, callbacks::end_namespace);
    XML_SetStartDoctypeDeclHandler(parser_, callbacks::doctype);
    XML_SetEntityDeclHandler(parser_, callbacks::entity);
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
    // A document in a code page that expat does not know is read through our character sets.
    XML_SetUnknownEncodingHandler(parser_, unknown_encoding_handler, nullptr);
}

guarded_xml_parser::~guarded_xml_parser() {
    owner_scope scope(this);
    XML_ParserFree(parser_);
}

void guarded_xml_parser::stop(std::string reason) {
    if (error_.empty()) {
        error_ = std::move(reason);
        XML_StopParser(parser_, XML_FALSE);
    }
}

bool guarded_xml_parser::feed(std::string_view data, bool last) {
    if (failed()) {
        return false;
    }
    if (data.size() > limits_.max_input - std::min(stats_.input, limits_.max_input)) {
        error_ = "Message larger than " + std::to_string(limits_.max_input) + " bytes";
        return false;
    }
    stats_.input += data.size();
    owner_scope scope(this);
    constexpr std::size_t piece = 1u << 20;
    do {
        std::size_t n = std::min(data.size(), piece);
        bool final_piece = last && n == data.size();
        if (XML_Parse(parser_, data.data(), static_cast<int>(n),
                      final_piece ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
            if (error_.empty()) {
                XML_Error code = XML_GetErrorCode(parser_);
                error_ = code == XML_ERROR_NO_MEMORY
                             ? "The message needs more parser memory than allowed"
                             : std::string(XML_ErrorString(code)) + " at line " +
                                   std::to_string(XML_GetCurrentLineNumber(parser_)) + ", column " +
                                   std::to_string(XML_GetCurrentColumnNumber(parser_));
            }
            return false;
        }
        data.remove_prefix(n);
    } while (!data.empty());
    return !failed();
}

}  // namespace marloven
