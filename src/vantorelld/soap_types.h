// soap_types.h: the SOAP encodings of the API's records and results (the record types of the
// search service, soap/contract.h): which field of a record travels as which element. The codec
// (soap/codec.h) finds these functions by argument-dependent lookup and checks every element
// against the service description.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

#include "api/api-plugin.h"
#include "api/crawl.h"
#include "api/operations.h"
#include "logstorage/logstorage.h"
#include "records/records.h"
#include "soap/codec.h"

namespace marloven {

// Records that exist only on the wire.
struct extended_status {  // ExtendedStatus
    std::string key;
    std::string value;
};
// CrawlLog: a crawl (its start) and the position in its document log (the cursor as text;
// empty for the start).
struct crawl_log_position {
    std::int64_t time = 0;
    std::string cookie;
};

// The plug-in type a client sees (PluginType): the FFF plug-ins are all shown as
// ARCHIVEFFF_PLUGINTYPE.
enum class client_plugin : int { UNKNOWN_PLUGINTYPE = 0, ARCHIVEFFF_PLUGINTYPE = 1 };
// Plugin and DocFilter: a record with the type of its library (which the record does not hold;
// read and ignored in requests).
struct wire_plugin {
    client_plugin type = client_plugin::UNKNOWN_PLUGINTYPE;
    Plugin record;
};
struct wire_docfilter {
    client_plugin type = client_plugin::UNKNOWN_PLUGINTYPE;
    DocFilter record;
};

// Records read from requests and written into responses.
void read_fields(soap::element_reader& r, acl_entry& v);
void write_fields(soap::element_writer& w, const acl_entry& v);
void read_fields(soap::element_reader& r, cookie_param& v);
void write_fields(soap::element_writer& w, const cookie_param& v);
void read_fields(soap::element_reader& r, param_value& v);
void write_fields(soap::element_writer& w, const param_value& v);
void read_fields(soap::element_reader& r, cookie_auth& v);
void write_fields(soap::element_writer& w, const cookie_auth& v);
void read_fields(soap::element_reader& r, SourceConfiguration& v);
void write_fields(soap::element_writer& w, const SourceConfiguration& v);
void read_fields(soap::element_reader& r, ArchiveConfiguration& v);
void write_fields(soap::element_writer& w, const ArchiveConfiguration& v);
void read_fields(soap::element_reader& r, CollectionConfiguration& v);
void write_fields(soap::element_writer& w, const CollectionConfiguration& v);
void read_fields(soap::element_reader& r, WatchConfiguration& v);
void write_fields(soap::element_writer& w, const WatchConfiguration& v);
void read_fields(soap::element_reader& r, AuthConfiguration& v);
void write_fields(soap::element_writer& w, const AuthConfiguration& v);
void read_fields(soap::element_reader& r, IndexConfiguration& v);
void write_fields(soap::element_writer& w, const IndexConfiguration& v);
void read_fields(soap::element_reader& r, wire_plugin& v);
void write_fields(soap::element_writer& w, const wire_plugin& v);
void read_fields(soap::element_reader& r, wire_docfilter& v);
void write_fields(soap::element_writer& w, const wire_docfilter& v);
void read_fields(soap::element_reader& r, RendererPluginPipe& v);
void write_fields(soap::element_writer& w, const RendererPluginPipe& v);
void read_fields(soap::element_reader& r, crawl_log_position& v);
void write_fields(soap::element_writer& w, const crawl_log_position& v);

// Records only read: the query (Query).
void read_fields(soap::element_reader& r, query_request& v);
void read_fields(soap::element_reader& r, query_atom& v);
void read_fields(soap::element_reader& r, slice_weight& v);

// Records only written: the states (SourceInfo, ArchiveInfo, CollectionInfo, WatchInfo,
// IndexInfo, PluginInfo, DocFilterInfo, PluginDLLInfo), hits (QueryResult), log rows
// (CrawlLogData, QueryLogData) and status pairs.
void write_fields(soap::element_writer& w, const config_info<SourceConfiguration>& v);
void write_fields(soap::element_writer& w, const ArchiveInfo& v);
void write_fields(soap::element_writer& w, const config_info<CollectionConfiguration>& v);
void write_fields(soap::element_writer& w, const config_info<WatchConfiguration>& v);
void write_fields(soap::element_writer& w, const IndexInfo& v);
void write_fields(soap::element_writer& w, const query_hit& v);
void write_fields(soap::element_writer& w, const document_log_row& v);
void write_fields(soap::element_writer& w, const query_log_row& v);
void write_fields(soap::element_writer& w, const extended_status& v);
void write_fields(soap::element_writer& w, const plugin_dll_info& v);
void write_fields(soap::element_writer& w, const plugin_info& v);
void write_fields(soap::element_writer& w, const docfilter_info& v);

}  // namespace marloven
