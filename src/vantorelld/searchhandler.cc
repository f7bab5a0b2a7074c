// searchhandler.cc: the adapters of the search service's methods and their table.
// SPDX-License-Identifier: MIT
#include "vantorelld/searchhandler.h"

#include <charconv>

#include "api/api-plugin.h"
#include "api/crawl.h"
#include "api/operations.h"
#include "soap/contract.h"
#include "vantorelld/soap_types.h"

namespace marloven {

namespace {

using soap::call;

// The root access list a GetRootACL or SetRootACL names (its values are the RootACL ids).
enum class root_acl_kind : int { browsing = root_acl_browsing, crawling = root_acl_crawling };

// A failed operation ends the call with a fault whose text is the error's symbolic name.
void check(const api_result& r) {
    if (r.failed()) {
        throw soap::fault(soap::fault_code::Server, r.name);
    }
}

// The state a record's Add and Set answer with.
void state_of(const api_session& s, int id, ArchiveInfo& info) {
    archive_info(s, id, info);
}
template <typename Record>
void state_of(const api_session& s, int id, config_info<Record>& info) {
    record_info(s, id, info);
}

// ---- configuration records ---------------------------------------------------------------

template <typename Record, typename Info, auto operation>
void add_returning_info(const api_session& s, call& c) {
    Record cfg;
    c.param("cfg", cfg);
    api_result r;
    int id = 0;
    operation(s, r, cfg, id);
    check(r);
    Info info;
    state_of(s, id, info);
    c.result("info", info);
}

template <typename Record, auto operation>
void add_returning_id(const api_session& s, call& c) {
    Record cfg;
    c.param("cfg", cfg);
    api_result r;
    int id = 0;
    operation(s, r, cfg, id);
    check(r);
    c.result("id", id);
}

template <auto operation>
void remove_record(const api_session& s, call& c) {
    int id = 0;
    c.param("id", id);
    api_result r;
    operation(s, r, id);
    check(r);
}

template <typename Record, auto operation>
void get_record(const api_session& s, call& c) {
    int id = 0;
    c.param("id", id);
    api_result r;
    Record cfg;
    std::uint32_t magic = 0;
    operation(s, r, id, cfg, magic);
    check(r);
    c.result("cfg", cfg);
    c.result("magic", magic);
}

template <typename Record, auto operation>
void set_record(const api_session& s, call& c) {
    int id = 0;
    Record cfg;
    std::uint32_t magic = 0;
    c.param("id", id);
    c.param("cfg", cfg);
    c.param("magic", magic);
    api_result r;
    operation(s, r, id, cfg, magic);
    check(r);
}

template <typename Record, typename Info, auto operation>
void set_returning_info(const api_session& s, call& c) {
    set_record<Record, operation>(s, c);
    int id = 0;
    c.param("id", id);
    Info info;
    state_of(s, id, info);
    c.result("info", info);
}

template <typename Record, auto operation>
void enum_records(const api_session& s, call& c) {
    api_result r;
    std::vector<config_info<Record>> infos;
    operation(s, r, infos);
    check(r);
    c.result("infos", infos);
}

void enum_archives(const api_session& s, call& c) {
    api_result r;
    std::vector<config_info<ArchiveConfiguration>> listed;
    EnumArchiveConfigurations(s, r, listed);
    check(r);
    std::vector<ArchiveInfo> infos;
    for (const auto& entry : listed) {
        ArchiveInfo info;
        if (archive_info(s, entry.id, info)) {
            infos.push_back(std::move(info));
        }
    }
    c.result("infos", infos);
}

void get_archive_info(const api_session& s, call& c) {
    int id = 0;
    c.param("id", id);
    api_result r;
    ArchiveInfo info;
    GetArchiveInfo(s, r, id, info);
    check(r);
    c.result("info", info);
}

void enum_indexes(const api_session& s, call& c) {
    api_result r;
    std::vector<IndexInfo> infos;
    EnumIndexConfigurations(s, r, infos);
    check(r);
    c.result("infos", infos);
}

// ---- queries and documents ---------------------------------------------------------------

// Query and QueryIndex.
void query(const api_session& s, call& c) {
    query_request q;
    c.param("query", q);
    api_result r;
    std::vector<query_hit> hits;
    std::int32_t count = -1;
    Query(s, r, q, hits, count);
    check(r);
    c.result("results", hits);
    c.result("maxresults", count);
}

// GetDocument and GetCachedPage.
void get_document(const api_session& s, call& c) {
    std::string guid;
    document_format format = document_format::ORIGINAL;
    c.param("docid", guid);
    c.param("format", format);
    api_result r;
    std::string url, mime, content;
    GetDocument(s, r, guid, static_cast<int>(format), url, mime, content);
    check(r);
    c.result("url", url);
    c.result("type", mime);
    c.result("content", content);
}

void get_document_url(const api_session& s, call& c) {
    std::string guid;
    c.param("docid", guid);
    api_result r;
    std::string url;
    GetDocumentURL(s, r, guid, url);
    check(r);
    c.result("url", url);
}

void add_document(const api_session& s, call& c) {
    int arcid = 0;
    std::string url, mime, content;
    c.param("arcid", arcid);
    c.param("url", url);
    c.param("mimetype", mime);
    c.param("content", content);
    api_result r;
    std::string guid;
    AddDocument(s, r, arcid, url, mime, content, guid);
    check(r);
    c.result("docid", guid);
}

void remove_document(const api_session& s, call& c) {
    std::string guid;
    c.param("docid", guid);
    api_result r;
    RemoveDocument(s, r, guid);
    check(r);
}

// ---- the server ----------------------------------------------------------------------------

void get_status(const api_session& s, call& c) {
    api_result r;
    daemon_status status = daemon_status::RUNNING;
    std::vector<std::pair<std::string, std::string>> pairs;
    GetStatus(s, r, status, pairs);
    check(r);
    std::vector<extended_status> extended;
    extended.reserve(pairs.size());
    for (auto& [key, value] : pairs) {
        extended.push_back({std::move(key), std::move(value)});
    }
    c.result("status", status);
    c.result("extendedstatus", extended);
}

template <auto operation>
void get_version_text(const api_session& s, call& c) {
    api_result r;
    std::string version;
    operation(s, r, version);
    check(r);
    c.result("version", version);
}

void get_capabilities(const api_session& s, call& c) {
    api_result r;
    bool historicize = false, admin = false, browsing_write = false, crawling_write = false;
    GetCapabilities(s, r, historicize, admin, browsing_write, crawling_write);
    check(r);
    c.result("historicize", historicize);
    c.result("admin", admin);
    c.result("browsingwrite", browsing_write);
    c.result("crawlingwrite", crawling_write);
}

void normalize_url(const api_session& s, call& c) {
    std::string url;
    c.param("url", url);
    api_result r;
    std::string normalized;
    NormalizeURL(s, r, url, normalized);
    check(r);
    c.result("url", normalized);
}

// ---- crawls and logs -----------------------------------------------------------------------

template <auto operation>
void crawl_control(const api_session& s, call& c) {
    int arcid = 0;
    c.param("arcid", arcid);
    api_result r;
    ArchiveInfo info;
    operation(s, r, arcid, info);
    check(r);
    c.result("info", info);
}

void get_available_crawl_logs(const api_session& s, call& c) {
    int arcid = 0;
    c.param("arcid", arcid);
    api_result r;
    std::vector<std::int64_t> starts;
    GetAvailableCrawlLogs(s, r, arcid, starts);
    check(r);
    std::vector<crawl_log_position> logs;
    logs.reserve(starts.size());
    for (std::int64_t start : starts) {
        logs.push_back({start, "0"});
    }
    c.result("logs", logs);
}

void get_crawl_log(const api_session& s, call& c) {
    int arcid = 0;
    int nmax = 0;
    crawl_log_position log;
    c.param("arcid", arcid);
    c.param("nmax", nmax);
    c.param("log", log);
    // The cookie is the position in the log as a number; empty for the start.
    std::int64_t cursor = 0;
    const std::string& cookie = log.cookie;
    if (!cookie.empty()) {
        auto [end, ec] = std::from_chars(cookie.data(), cookie.data() + cookie.size(), cursor);
        if (ec != std::errc() || end != cookie.data() + cookie.size()) {
            throw soap::fault(soap::fault_code::Client,
                              "Cannot read the crawl log cookie '" + cookie.substr(0, 64) + "'");
        }
    }
    api_result r;
    std::vector<document_log_row> rows;
    GetCrawlLog(s, r, arcid, log.time, std::max(nmax, 0), cursor, rows);
    check(r);
    c.result("log", crawl_log_position{log.time, std::to_string(cursor)});
    if (!rows.empty()) {
        c.result("data", rows);
    }
}

void get_query_log(const api_session& s, call& c) {
    int arcid = 0, begin = 0, end = 0;
    c.param("arcid", arcid);
    c.param("begin", begin);
    c.param("end", end);
    api_result r;
    std::vector<query_log_row> rows;
    GetQueryLog(s, r, arcid, begin, end, rows);
    check(r);
    if (!rows.empty()) {
        c.result("data", rows);
    }
}

// ---- users, groups and root access lists ---------------------------------------------------

void add_user(const api_session& s, call& c) {
    std::string name, password;
    bool admin = false;
    std::vector<std::string> groups;
    c.param("username", name);
    c.param("password", password);
    c.param("admin", admin);
    c.param("groups", groups);
    api_result r;
    AddUser(s, r, name, password, admin, groups);
    check(r);
}

void get_user_data(const api_session& s, call& c) {
    std::string name;
    c.param("username", name);
    api_result r;
    bool admin = false;
    std::vector<std::string> groups;
    GetUserData(s, r, name, admin, groups);
    check(r);
    c.result("admin", admin);
    c.result("groups", groups);
}

void set_user_data(const api_session& s, call& c) {
    std::string name;
    bool admin = false;
    std::vector<std::string> groups;
    c.param("username", name);
    c.param("admin", admin);
    c.param("groups", groups);
    api_result r;
    SetUserData(s, r, name, admin, groups);
    check(r);
}

void set_user_password(const api_session& s, call& c) {
    std::string name, password;
    c.param("username", name);
    c.param("password", password);
    api_result r;
    SetUserPassword(s, r, name, password);
    check(r);
}

template <auto operation>
void user_operation(const api_session& s, call& c) {
    std::string name;
    c.param("username", name);
    api_result r;
    operation(s, r, name);
    check(r);
}

template <auto operation>
void group_operation(const api_session& s, call& c) {
    std::string name;
    c.param("groupname", name);
    api_result r;
    operation(s, r, name);
    check(r);
}

void enum_users_and_groups(const api_session& s, call& c) {
    api_result r;
    std::vector<std::string> users, builtin_users, groups, builtin_groups;
    EnumUsersAndGroups(s, r, users, builtin_users, groups, builtin_groups);
    check(r);
    c.result("users", users);
    c.result("builtinusers", builtin_users);
    c.result("groups", groups);
    c.result("builtingroups", builtin_groups);
}

void get_root_acl(const api_session& s, call& c) {
    root_acl_kind kind = root_acl_kind::browsing;
    c.param("type", kind);
    api_result r;
    acl_list acl;
    std::uint32_t magic = 0;
    GetRootACL(s, r, static_cast<int>(kind), acl, magic);
    check(r);
    c.result("acl", acl);
    c.result("magic", magic);
}

void set_root_acl(const api_session& s, call& c) {
    root_acl_kind kind = root_acl_kind::browsing;
    acl_list acl;
    std::uint32_t magic = 0;
    c.param("type", kind);
    c.param("acl", acl);
    c.param("magic", magic);
    api_result r;
    SetRootACL(s, r, static_cast<int>(kind), acl, magic);
    check(r);
}

// ---- plug-ins ------------------------------------------------------------------------------

// The registration types a client's PluginType list asks for: every FFF type for
// ARCHIVEFFF_PLUGINTYPE (the one type clients know them by), none of them for
// UNKNOWN_PLUGINTYPE; an empty list asks for every type.
std::vector<int> registration_types(call& c) {
    std::vector<client_plugin> asked;
    c.param("types", asked);
    std::vector<int> types;
    for (client_plugin t : asked) {
        if (t == client_plugin::ARCHIVEFFF_PLUGINTYPE) {
            types.insert(types.end(), {2, 3, 4});
        } else {
            types.push_back(0);
        }
    }
    return types;
}

void enum_plugin_dlls(const api_session& s, call& c) {
    std::vector<int> types = registration_types(c);
    api_result r;
    std::vector<plugin_dll_info> infos;
    EnumPluginDLLs(s, r, types, infos);
    check(r);
    c.result("infos", infos);
}

template <typename Info, auto operation>
void enum_plugin_records(const api_session& s, call& c) {
    std::vector<int> types = registration_types(c);
    bool full = false;
    c.param("full", full);
    api_result r;
    std::vector<Info> infos;
    operation(s, r, types, full, infos);
    check(r);
    c.result("infos", infos);
}

// Get, Set and Add of plug-in and document-filter records, whose element is `Element::name`.
// A single record read does not load the libraries, so its type is sent as unknown.
struct plugin_element {
    static constexpr const char* name = "plugin";
    using wire = wire_plugin;
};
struct docfilter_element {
    static constexpr const char* name = "docfilter";
    using wire = wire_docfilter;
};

template <typename Element, auto operation>
void get_plugin_record(const api_session& s, call& c) {
    int id = 0;
    c.param("id", id);
    api_result r;
    typename Element::wire v;
    std::uint32_t magic = 0;
    operation(s, r, id, v.record, magic);
    check(r);
    c.result(Element::name, v);
    c.result("magic", magic);
}

template <typename Element, auto operation>
void set_plugin_record(const api_session& s, call& c) {
    int id = 0;
    typename Element::wire v;
    std::uint32_t magic = 0;
    c.param("id", id);
    c.param(Element::name, v);
    c.param("magic", magic);
    api_result r;
    operation(s, r, id, v.record, magic);
    check(r);
}

template <typename Element, auto operation>
void add_plugin_record(const api_session& s, call& c) {
    typename Element::wire v;
    c.param(Element::name, v);
    api_result r;
    int id = 0;
    operation(s, r, v.record, id);
    check(r);
    c.result("id", id);
}

void get_root_renderer_pipe(const api_session& s, call& c) {
    api_result r;
    RendererPluginPipe pipe;
    std::uint32_t magic = 0;
    GetRootRendererPipe(s, r, pipe, magic);
    check(r);
    c.result("pipe", pipe);
    c.result("magic", magic);
}

void set_root_renderer_pipe(const api_session& s, call& c) {
    RendererPluginPipe pipe;
    std::uint32_t magic = 0;
    c.param("pipe", pipe);
    c.param("magic", magic);
    api_result r;
    SetRootRendererPipe(s, r, pipe, magic);
    check(r);
}

// ---- the table -----------------------------------------------------------------------------

using adapter = void (*)(const api_session&, call&);

struct method_row {
    const char* name;
    adapter run;
};

constexpr method_row methods[] = {
    {"AddSource",
     add_returning_info<SourceConfiguration, config_info<SourceConfiguration>, AddSource>},
    {"RemoveSource", remove_record<RemoveSource>},
    {"GetSourceConfiguration", get_record<SourceConfiguration, GetSourceConfiguration>},
    {"SetSourceConfiguration",
     set_returning_info<SourceConfiguration, config_info<SourceConfiguration>,
                        SetSourceConfiguration>},
    {"EnumSourceConfigurations", enum_records<SourceConfiguration, EnumSourceConfigurations>},
    {"AddAuth", add_returning_id<AuthConfiguration, AddAuth>},
    {"RemoveAuth", remove_record<RemoveAuth>},
    {"GetAuthConfiguration", get_record<AuthConfiguration, GetAuthConfiguration>},
    {"SetAuthConfiguration", set_record<AuthConfiguration, SetAuthConfiguration>},
    {"AddArchive", add_returning_info<ArchiveConfiguration, ArchiveInfo, AddArchive>},
    {"RemoveArchive", remove_record<RemoveArchive>},
    {"GetArchiveConfiguration", get_record<ArchiveConfiguration, GetArchiveConfiguration>},
    {"SetArchiveConfiguration",
     set_returning_info<ArchiveConfiguration, ArchiveInfo, SetArchiveConfiguration>},
    {"EnumArchiveConfigurations", enum_archives},
    {"GetArchiveInfo", get_archive_info},
    {"AddCollection", add_returning_info<CollectionConfiguration,
                                         config_info<CollectionConfiguration>, AddCollection>},
    {"RemoveCollection", remove_record<RemoveCollection>},
    {"GetCollectionConfiguration", get_record<CollectionConfiguration, GetCollectionConfiguration>},
    {"SetCollectionConfiguration",
     set_returning_info<CollectionConfiguration, config_info<CollectionConfiguration>,
                        SetCollectionConfiguration>},
    {"EnumCollectionConfigurations",
     enum_records<CollectionConfiguration, EnumCollectionConfigurations>},
    {"AddWatch", add_returning_info<WatchConfiguration, config_info<WatchConfiguration>, AddWatch>},
    {"RemoveWatch", remove_record<RemoveWatch>},
    {"GetWatchConfiguration", get_record<WatchConfiguration, GetWatchConfiguration>},
    {"SetWatchConfiguration",
     set_returning_info<WatchConfiguration, config_info<WatchConfiguration>,
                        SetWatchConfiguration>},
    {"EnumWatchConfigurations", enum_records<WatchConfiguration, EnumWatchConfigurations>},
    {"Query", query},
    {"QueryIndex", query},
    {"GetDocument", get_document},
    {"GetCachedPage", get_document},
    {"GetDocumentURL", get_document_url},
    {"AddDocument", add_document},
    {"RemoveDocument", remove_document},
    {"GetStatus", get_status},
    {"GetVersion", get_version_text<GetVersion>},
    {"GetMinClientVersion", get_version_text<GetMinClientVersion>},
    {"GetCapabilities", get_capabilities},
    {"NormalizeURL", normalize_url},
    {"StartCrawl", crawl_control<StartCrawl>},
    {"StopCrawl", crawl_control<StopCrawl>},
    {"ReprocessDocuments", crawl_control<ReprocessDocuments>},
    {"GetAvailableCrawlLogs", get_available_crawl_logs},
    {"GetCrawlLog", get_crawl_log},
    {"GetQueryLog", get_query_log},
    {"AddUser", add_user},
    {"RemoveUser", user_operation<RemoveUser>},
    {"GetUserData", get_user_data},
    {"SetUserData", set_user_data},
    {"SetUserPassword", set_user_password},
    {"AddGroup", group_operation<AddGroup>},
    {"RemoveGroup", group_operation<RemoveGroup>},
    {"EnumUsersAndGroups", enum_users_and_groups},
    {"GetRootACL", get_root_acl},
    {"SetRootACL", set_root_acl},
    {"EnumPluginDLLs", enum_plugin_dlls},
    {"EnumPlugins", enum_plugin_records<plugin_info, EnumPlugins>},
    {"AddPlugin", add_plugin_record<plugin_element, AddPlugin>},
    {"RemovePlugin", remove_record<RemovePlugin>},
    {"GetPlugin", get_plugin_record<plugin_element, GetPlugin>},
    {"SetPlugin", set_plugin_record<plugin_element, SetPlugin>},
    {"EnumDocFilters", enum_plugin_records<docfilter_info, EnumDocFilters>},
    {"AddDocFilter", add_plugin_record<docfilter_element, AddDocFilter>},
    {"RemoveDocFilter", remove_record<RemoveDocFilter>},
    {"GetDocFilter", get_plugin_record<docfilter_element, GetDocFilter>},
    {"SetDocFilter", set_plugin_record<docfilter_element, SetDocFilter>},
    {"GetRootRendererPipe", get_root_renderer_pipe},
    {"SetRootRendererPipe", set_root_renderer_pipe},
    {"AddIndex", add_returning_id<IndexConfiguration, AddIndex>},
    {"RemoveIndex", remove_record<RemoveIndex>},
    {"GetIndexConfiguration", get_record<IndexConfiguration, GetIndexConfiguration>},
    {"SetIndexConfiguration", set_record<IndexConfiguration, SetIndexConfiguration>},
    {"EnumIndexConfigurations", enum_indexes},
};

}  // namespace

MarlovenSearchHandler::MarlovenSearchHandler(const api_session& session)
    : session_(session), dispatcher_(soap::search_service()) {
    for (const method_row& m : methods) {
        adapter run = m.run;
        dispatcher_.add(m.name, [this, run](call& c) {
            // Committed when the method returns or fails.
            api_transaction t(session_.db);
            run(session_, c);
        });
    }
    VANT_CHECK(dispatcher_.complete(), "A method of the search service has no handler");
}

}  // namespace marloven
