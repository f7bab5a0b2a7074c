// protocol.h: the messages between the daemon and its worker programs, and their wire coding.
// Shared by the daemon's side (worker_process) and the worker program; each side reads exactly
// the fields, in the order, that the other wrote (integers little-endian, strings as a 32-bit
// length and the bytes, lists as a 32-bit count and the items).
// Adding a message type: a value in request_t and reply_t, its payload struct and coding here,
// and a case in the dispatch switch of programs/worker-process/main.cc.
// Version log: 1: QUIT, PROCESS, REPROCESS. 2: PROCESS carries the stored version's validators
// in `extra`; a reply may be UNCHANGED (not modified, or the same body) without a parse.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/crawl_error.h"
#include "worker/FFF/FFF.h"

namespace socket_ipc {
class server_helper;
}

namespace marloven {

// Request identifiers, sent as a 16-bit integer.
enum class request_t : std::int16_t { QUIT = 0, PROCESS = 1, REPROCESS = 2 };
// Reply identifiers, sent as a 16-bit integer; each request has exactly one reply.
enum class reply_t : std::int16_t { QUITTING = 0, PROCESSED = 1, REPROCESSED = 2 };

// A plug-in record as the crawl thread caches it.
struct plugin_entry {
    std::int32_t id = 0;
    std::int32_t magic = 0;   // the configuration store's stamp of the cached record
    std::int16_t change = 0;  // low 16 bits of the record's first integer field
    std::string name;
    std::string description;
    std::string dll;       // the plug-in library's name
    std::string dll_text;  // the text of the record's dll element (its configuration)
    bool operator==(const plugin_entry&) const = default;
};

// A document filter record as the crawl thread caches it.
struct docfilter_entry {
    std::int32_t id = 0;
    std::int32_t magic = 0;
    std::int16_t change = 0;
    std::string name;
    std::string description;
    std::int32_t plugin_id = 0;
    std::string plugin_config;  // the text of the record's plugin element
    bool operator==(const docfilter_entry&) const = default;
};

// The document filters to apply to one document, and the exclusion markers of its source.
struct filter_settings {
    std::vector<std::int32_t> docfilter_ids;  // in the order they apply
    std::vector<plugin_entry> plugins;        // ascending by id
    std::vector<docfilter_entry> docfilters;  // ascending by id
    std::string marker_begin;
    std::string marker_end;
    bool operator==(const filter_settings&) const = default;
};

// Depth credit of a URL at `depth` (its fetch-queue priority): 1000000 - depth, never below 0.
std::int32_t depth_credit(std::uint32_t depth);
inline constexpr std::int32_t robots_depth_credit = 1000000;

// PROCESS: fetch a URL and parse it.
struct process_request {
    std::int32_t depth_credit = 0;
    std::string guid;
    std::string url;
    std::string cookies;     // "name=value; name=value", empty if none
    bool login = false;      // the log-in request of a cookie-authenticated source
    std::string source_xml;  // empty for robots.txt and portal fetches
    std::string auth_xml;
    // The stored version's validators (worker/validators.h), at most max_extra_length bytes;
    // empty when there is no stored version to compare with.
    std::string extra;
    bool side_metadata = false;
    filter_settings filters;
    bool operator==(const process_request&) const = default;
};

// REPROCESS: parse a stored document again, without network access.
struct reprocess_request {
    std::int32_t depth_credit = 0;
    std::string guid;
    std::string url;
    std::string headers;
    std::string content;
    std::string mime;
    std::string side_metadata;
    filter_settings filters;
    bool operator==(const reprocess_request&) const = default;
};

// Fields 1 to 9 of a reply: what the crawl thread records about the fetch.
struct crawl_result {
    crawl_error status = crawl_error::none;
    std::string status_text;
    std::string mime;
    std::string charset;
    std::int32_t datetime = 0;  // the server's date of the document, seconds since the epoch
    std::string redirect;       // the target when status is redirect
    std::string side_metadata;
    std::uint32_t fffcrc = 0;
    std::uint32_t corecrc = 0;
    bool operator==(const crawl_result&) const = default;
};

// A link found in a document, with its score in millionths; the same record as a link of the
// document's FFF link table.
using outlink = FFF::link;

// REPROCESSED: the result, the FFF document in binary form and the document score.
struct reprocess_reply {
    crawl_result result;
    std::string fff;
    std::uint32_t score = 0;
    bool operator==(const reprocess_reply&) const = default;
};

// PROCESSED: as REPROCESSED, and the links, the raw response headers and the raw body.
struct process_reply {
    crawl_result result;
    std::string fff;
    std::uint32_t score = 0;
    std::vector<outlink> outlinks;
    std::string headers;
    std::string content;
    bool operator==(const process_reply&) const = default;
};

// Coding of the messages (worker-process-serialize.cc). Every function throws
// socket_ipc::error when the connection fails or a list count is impossible.

// The daemon's side.
void send_quit(socket_ipc::server_helper& channel);
void send_request(socket_ipc::server_helper& channel, const process_request& request);
void send_request(socket_ipc::server_helper& channel, const reprocess_request& request);
// Reads a reply identifier; its payload follows.
reply_t receive_reply_id(socket_ipc::server_helper& channel);
process_reply receive_process_reply(socket_ipc::server_helper& channel);
reprocess_reply receive_reprocess_reply(socket_ipc::server_helper& channel);
// QUITTING has no payload; this only logs its arrival.
void receive_quitting(socket_ipc::server_helper& channel);

// The worker's side. An identifier outside request_t is returned as it came; the caller decides.
request_t receive_request_id(socket_ipc::server_helper& channel);
process_request receive_process_request(socket_ipc::server_helper& channel);
reprocess_request receive_reprocess_request(socket_ipc::server_helper& channel);
void send_quitting(socket_ipc::server_helper& channel);
void send_reply(socket_ipc::server_helper& channel, const process_reply& reply);
void send_reply(socket_ipc::server_helper& channel, const reprocess_reply& reply);

}  // namespace marloven
