// soap_types.cc: the elements of each record of the search service.
// SPDX-License-Identifier: MIT
#include "vantorelld/soap_types.h"

#include "plugin-system/fff-plugins-loader.h"
#include "worker/protocol.h"

namespace marloven {

namespace {

// The View of a query: every document, or only those whose core text changed.
enum class query_view : int { published = 0, corechanged = 1 };

}  // namespace

// AccessSpec: Access true stands for write access.
void read_fields(soap::element_reader& r, acl_entry& v) {
    bool write = v.access == access_type::write;
    r.field("Name", v.name);
    r.field("Access", write);
    r.field("Deny", v.deny);
    v.access = write ? access_type::write : access_type::read;
}

void write_fields(soap::element_writer& w, const acl_entry& v) {
    w.field("Name", v.name);
    w.field("Access", v.access == access_type::write);
    w.field("Deny", v.deny);
}

void read_fields(soap::element_reader& r, cookie_param& v) {
    r.field("Name", v.name);
    r.field("Value", v.value);
    r.field("Type", v.type);
}

void write_fields(soap::element_writer& w, const cookie_param& v) {
    w.field("Name", v.name);
    w.field("Value", v.value);
    w.field("Type", v.type);
}

void read_fields(soap::element_reader& r, param_value& v) {
    r.field("Name", v.name);
    r.field("Value", v.value);
}

void write_fields(soap::element_writer& w, const param_value& v) {
    w.field("Name", v.name);
    w.field("Value", v.value);
}

void read_fields(soap::element_reader& r, cookie_auth& v) {
    r.field("Url", v.url);
    r.field("Action", v.action);
    r.field("Freshness", v.freshness);
    r.field("Params", v.params);
    r.field("PreUrls", v.pre_urls);
}

void write_fields(soap::element_writer& w, const cookie_auth& v) {
    w.field("Url", v.url);
    w.field("Action", v.action);
    w.field("Freshness", v.freshness);
    w.field("Params", v.params);
    w.field("PreUrls", v.pre_urls);
}

void read_fields(soap::element_reader& r, SourceConfiguration& v) {
    r.field("Name", v.name);
    r.field("Description", v.description);
    r.field("Seeds", v.seeds);
    r.field("IncludeFilters", v.include_filters);
    r.field("ExcludeFilters", v.exclude_filters);
    r.field("CheckRobotsTxt", v.robots_check);
    r.field("HasSideMetadata", v.side_metadata_available);
    r.field("DepthLimit", v.depth);
    r.field("Type", v.auth);
    r.field("CookieParams", v.cookie);
    r.field("RendererDocFilterIDs", v.docfilters);
    r.field("TextExclusionBeginMarker", v.text_exclusion_begin);
    r.field("TextExclusionEndMarker", v.text_exclusion_end);
    r.field("ACL", v.acl);
}

void write_fields(soap::element_writer& w, const SourceConfiguration& v) {
    w.field("Name", v.name);
    w.field("Description", v.description);
    w.field("Seeds", v.seeds);
    w.field("IncludeFilters", v.include_filters);
    w.field("ExcludeFilters", v.exclude_filters);
    w.field("CheckRobotsTxt", v.robots_check);
    w.field("HasSideMetadata", v.side_metadata_available);
    w.field("DepthLimit", v.depth);
    w.field("Type", v.auth);
    w.field("CookieParams", v.cookie);
    w.field("RendererDocFilterIDs", v.docfilters);
    w.field("TextExclusionBeginMarker", v.text_exclusion_begin);
    w.field("TextExclusionEndMarker", v.text_exclusion_end);
    w.field("ACL", v.acl);
}

void read_fields(soap::element_reader& r, ArchiveConfiguration& v) {
    r.field("Name", v.name);
    r.field("Historicize", v.historicize);
    r.field("AdministrativeContact", v.contact_email);
    r.field("Source", v.source_id);
    r.field("Auth", v.auth_id);
    r.field("SchedulingFrequency", v.frequency);
    r.field("SchedulingAttribute", v.attribute);
    r.field("AccessTime", v.access_time);
    r.field("PagesLimit", v.page_limit);
    r.field("GarbageLimit", v.garbage_limit);
    r.field("DocumentCache", v.cache);
    r.field("ACL", v.acl);
}

void write_fields(soap::element_writer& w, const ArchiveConfiguration& v) {
    w.field("Name", v.name);
    w.field("Historicize", v.historicize);
    w.field("AdministrativeContact", v.contact_email);
    w.field("Source", v.source_id);
    w.field("Auth", v.auth_id);
    w.field("SchedulingFrequency", v.frequency);
    w.field("SchedulingAttribute", v.attribute);
    w.field("AccessTime", v.access_time);
    w.field("PagesLimit", v.page_limit);
    w.field("GarbageLimit", v.garbage_limit);
    w.field("DocumentCache", v.cache);
    if (!v.acl.empty()) {
        w.field("ACL", v.acl);
    }
}

void read_fields(soap::element_reader& r, CollectionConfiguration& v) {
    r.field("Name", v.name);
    r.field("Description", v.description);
    r.field("Archives", v.archives);
    r.field("ACL", v.acl);
}

void write_fields(soap::element_writer& w, const CollectionConfiguration& v) {
    w.field("Name", v.name);
    w.field("Description", v.description);
    w.field("Archives", v.archives);
    w.field("ACL", v.acl);
}

void read_fields(soap::element_reader& r, WatchConfiguration& v) {
    r.field("Name", v.name);
    r.field("Description", v.description);
    r.field("Query", v.query);
    r.field("Parser", v.parser);
    r.field("Freshness", v.freshness);
    r.field("Collection", v.collection);
    r.field("ACL", v.acl);
}

void write_fields(soap::element_writer& w, const WatchConfiguration& v) {
    w.field("Name", v.name);
    w.field("Description", v.description);
    w.field("Query", v.query);
    w.field("Parser", v.parser);
    w.field("Freshness", v.freshness);
    w.field("Collection", v.collection);
    w.field("ACL", v.acl);
}

void read_fields(soap::element_reader& r, AuthConfiguration& v) {
    r.field("Username", v.username);
    r.field("Password", v.password);
    r.field("ParamValues", v.params);
    r.field("ACL", v.acl);
}

void write_fields(soap::element_writer& w, const AuthConfiguration& v) {
    w.field("Username", v.username);
    w.field("Password", v.password);
    w.field("ParamValues", v.params);
    w.field("ACL", v.acl);
}

void read_fields(soap::element_reader& r, IndexConfiguration& v) {
    r.field("Name", v.name);
    r.field("Historicize", v.historicize);
    r.field("AdministrativeContact", v.administrative_contact);
    r.field("Seeds", v.seeds);
    r.field("IncludeFilters", v.include_filters);
    r.field("ExcludeFilters", v.exclude_filters);
    r.field("SchedulingFrequency", v.scheduling_frequency);
    r.field("SchedulingAttribute", v.scheduling_attribute);
    r.field("AccessTime", v.access_time);
    r.field("PagesLimit", v.pages_limit);
    r.field("DepthLimit", v.depth_limit);
    r.field("GarbageLimit", v.garbage_limit);
}

void write_fields(soap::element_writer& w, const IndexConfiguration& v) {
    w.field("Name", v.name);
    w.field("Historicize", v.historicize);
    w.field("AdministrativeContact", v.administrative_contact);
    w.field("Seeds", v.seeds);
    w.field("IncludeFilters", v.include_filters);
    w.field("ExcludeFilters", v.exclude_filters);
    w.field("SchedulingFrequency", v.scheduling_frequency);
    w.field("SchedulingAttribute", v.scheduling_attribute);
    w.field("AccessTime", v.access_time);
    w.field("PagesLimit", v.pages_limit);
    w.field("DepthLimit", v.depth_limit);
    w.field("GarbageLimit", v.garbage_limit);
}

void read_fields(soap::element_reader& r, wire_plugin& v) {
    r.field("Type", v.type);
    r.field("Name", v.record.name);
    r.field("Description", v.record.description);
    r.field("DLLName", v.record.module);
    r.field("DLLParameters", v.record.configuration);
    r.field("ACL", v.record.acl);
}

void write_fields(soap::element_writer& w, const wire_plugin& v) {
    w.field("Type", v.type);
    w.field("Name", v.record.name);
    w.field("Description", v.record.description);
    w.field("DLLName", v.record.module);
    w.field("DLLParameters", v.record.configuration);
    w.field("ACL", v.record.acl);
}

void read_fields(soap::element_reader& r, wire_docfilter& v) {
    r.field("Type", v.type);
    r.field("Name", v.record.name);
    r.field("Description", v.record.description);
    r.field("PluginID", v.record.plugin_id);
    r.field("Config", v.record.parameters);
    r.field("ACL", v.record.acl);
}

void write_fields(soap::element_writer& w, const wire_docfilter& v) {
    w.field("Type", v.type);
    w.field("Name", v.record.name);
    w.field("Description", v.record.description);
    w.field("PluginID", v.record.plugin_id);
    w.field("Config", v.record.parameters);
    w.field("ACL", v.record.acl);
}

void read_fields(soap::element_reader& r, RendererPluginPipe& v) {
    r.field("DocFilterIDs", v.docfilters);
}

void write_fields(soap::element_writer& w, const RendererPluginPipe& v) {
    w.field("DocFilterIDs", v.docfilters);
}

void read_fields(soap::element_reader& r, crawl_log_position& v) {
    int time = static_cast<int>(v.time);
    r.field("Time", time);
    r.field("Cookie", v.cookie);
    v.time = time;
}

void write_fields(soap::element_writer& w, const crawl_log_position& v) {
    w.field("Time", v.time);
    w.field("Cookie", v.cookie);
}

void read_fields(soap::element_reader& r, query_request& v) {
    r.field("Archives", v.archives);
    int archive = 0;
    r.field("Archive", archive);
    if (archive > 0) {
        v.archives.push_back(archive);
    }
    r.field("Collection", v.collection);
    r.field("Watch", v.watch);
    // Indexes are archives under their old name.
    std::vector<int> indexes;
    r.field("Indexes", indexes);
    v.archives.insert(v.archives.end(), indexes.begin(), indexes.end());
    r.field("FirstDoc", v.first);
    r.field("LastDoc", v.last);
    r.field("MinTime", v.min_time);
    r.field("MaxTime", v.max_time);
    r.field("MinScore", v.min_score);
    r.field("Info", v.info);
    auto view = static_cast<query_view>(v.view);
    r.field("View", view);
    v.view = static_cast<int>(view);
    r.field("Sort", v.sort);
    r.field("Parser", v.parser);
    r.field("Query", v.atoms);
    r.field("QueryString", v.text);
    r.field("Weights", v.weights);
}

void read_fields(soap::element_reader& r, query_atom& v) {
    r.field("Type", v.type);
    r.field("Param", v.param);
    r.field("Meta", v.meta);
}

void read_fields(soap::element_reader& r, slice_weight& v) {
    r.field("Slice", v.slice);
    r.field("Weight", v.weight);
}

void write_fields(soap::element_writer& w, const config_info<SourceConfiguration>& v) {
    w.field("Source", v.id);
    w.field("Configuration", v.configuration);
    w.field("Magic", v.magic);
    w.field("ReadOnly", v.read_only);
}

void write_fields(soap::element_writer& w, const ArchiveInfo& v) {
    w.field("Archive", v.archive);
    w.field("Configuration", v.configuration);
    w.field("Magic", v.magic);
    w.field("ReadOnly", v.read_only);
    w.field("Crawling", v.crawling);
    w.field("Documents", v.documents);
    w.field("Errors", v.errors);
    w.field("LastRunStart", v.last_run_start);
    w.field("LastRunEnd", v.last_run_end);
    w.field("NextRun", static_cast<std::int64_t>(v.next_run));
}

void write_fields(soap::element_writer& w, const config_info<CollectionConfiguration>& v) {
    w.field("Collection", v.id);
    w.field("Configuration", v.configuration);
    w.field("Magic", v.magic);
    w.field("ReadOnly", v.read_only);
}

void write_fields(soap::element_writer& w, const config_info<WatchConfiguration>& v) {
    w.field("Watch", v.id);
    w.field("Configuration", v.configuration);
    w.field("Magic", v.magic);
    w.field("ReadOnly", v.read_only);
}

void write_fields(soap::element_writer& w, const IndexInfo& v) {
    w.field("Name", v.name);
    w.field("Index", v.index);
    w.field("Crawling", v.crawling);
    w.field("Historicize", v.historicize);
    w.field("Documents", v.documents);
    w.field("Errors", v.errors);
    w.field("LastRunStart", v.last_run_start);
    w.field("LastRunEnd", v.last_run_end);
    w.field("NextRun", static_cast<std::int64_t>(v.next_run));
    w.field("Configuration", v.configuration);
    w.field("Magic", v.magic);
}

void write_fields(soap::element_writer& w, const query_hit& v) {
    w.field("ID", v.guid);
    w.field("Url", v.url);
    w.field("Title", v.title);
    w.field("MimeType", v.mime);
    w.field("Contexts", v.contexts);
    w.field("Timestamp", static_cast<std::int64_t>(v.time));
    w.field("ServerTime", static_cast<std::int64_t>(v.servertime));
    w.field("Score", v.score);
    w.field("Archives", std::vector<int>{v.arcid});
    w.field("Categories", std::string());
}

void write_fields(soap::element_writer& w, const document_log_row& v) {
    w.field("Time", v.timestamp);
    w.field("ID", v.guid);
    w.field("Url", v.url);
    w.field("Error", static_cast<crawl_error>(v.status));
}

void write_fields(soap::element_writer& w, const query_log_row& v) {
    w.field("Time", v.timestamp);
    w.field("Query", v.query);
}

namespace {

client_plugin client_type(int registration_type) {
    return static_cast<client_plugin>(
        client_plugin_type(static_cast<std::uint32_t>(registration_type)));
}

}  // namespace

void write_fields(soap::element_writer& w, const plugin_dll_info& v) {
    w.field("Type", client_type(v.type));
    w.field("Name", v.name);
    w.field("Description", v.description);
}

void write_fields(soap::element_writer& w, const plugin_info& v) {
    w.field("PluginID", v.id);
    w.field("Type", client_type(v.type));
    w.field("PluginConfiguration", wire_plugin{client_type(v.type), v.configuration});
    w.field("Magic", v.magic);
    w.field("ReadOnly", v.read_only);
}

void write_fields(soap::element_writer& w, const docfilter_info& v) {
    w.field("DocFilterID", v.id);
    w.field("Type", client_type(v.type));
    w.field("DocFilterConfiguration", wire_docfilter{client_type(v.type), v.configuration});
    w.field("Magic", v.magic);
    w.field("ReadOnly", v.read_only);
}

void write_fields(soap::element_writer& w, const extended_status& v) {
    w.field("Key", v.key);
    w.field("Value", v.value);
}

}  // namespace marloven
