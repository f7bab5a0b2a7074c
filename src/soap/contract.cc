// contract.cc: the types and methods of the search and Research-pane services.
// SPDX-License-Identifier: MIT
#include "soap/contract.h"

namespace marloven::soap {

namespace {

void declare_types(service& s) {
    s.enumeration("AuthType", {{"AUTH_NONE", 0}, {"AUTH_BASIC", 1}, {"AUTH_COOKIE", 2}});
    s.enumeration("CookieParamType", {{"USERNAME", 0}, {"PASSWORD", 1}, {"OTHER", 2}});
    s.enumeration("CookieActionType", {{"GET", 0}, {"POST", 1}});
    s.enumeration("Frequency",
                  {{"DISABLED", 0}, {"HOURLY", 1}, {"DAILY", 2}, {"WEEKLY", 3}, {"MONTHLY", 4}});
    s.enumeration("Cache", {{"FULLCACHE", 0}, {"CONTEXTCACHE", 1}, {"NOCACHE", 2}});
    s.enumeration("QueryParser", {{"NOPARSER", 0},
                                  {"RPNPARSER", 1},
                                  {"ALGPARSER", 2},
                                  {"NETPARSER", 3},
                                  {"SOAPARSER", 2, false}});
    s.enumeration("AccessType", {{"READACCESS", 0}, {"WRITEACCESS", 1}});
    s.enumeration("PluginType", {{"UNKNOWN_PLUGINTYPE", 0},
                                 {"ARCHIVEFFF_PLUGINTYPE", 1},
                                 {"GLOBALFFF_PLUGINTYPE", 1, false},
                                 {"MULTIFORMFFF_PLUGINTYPE", 1, false}});
    s.enumeration("Status", {{"RUNNING", 0}, {"CRAWLSTOPPED", 1}, {"LOWDISKSPACE", 2}});
    s.enumeration("CrawlError", {{"NONE", 0},
                                 {"REDIRECT", 1},
                                 {"INDEX", 2},
                                 {"NOTFOUND", 3},
                                 {"UNPARSABLE", 4},
                                 {"BADREDIR", 5},
                                 {"BLOCKED", 6},
                                 {"NETWORK", 7},
                                 {"UNKNOWN", 8},
                                 {"UNCHANGED", 9},
                                 {"OUTOFDOCS", 10},
                                 {"AUTHREQ", 11},
                                 {"INTERNAL", 12},
                                 {"SERVER", 13}});
    s.enumeration("QueryInfo", {{"INFO_NONE", 0},
                                {"NOINFO", 0, false},
                                {"INFO_URL", 1},
                                {"URL", 1, false},
                                {"INFO_TITLE", 2},
                                {"TITLE", 2, false},
                                {"INFO_CONTEXT", 3},
                                {"CONTEXT", 3, false}});
    s.enumeration("QueryView", {{"VIEW_PUBLISHED", 0},
                                {"PUBLISHED", 0, false},
                                {"VIEW_CORECHANGED", 1},
                                {"CORECHANGED", 1, false}});
    s.enumeration("QuerySort", {{"SORT_STANDARD", 0},
                                {"SORT_RELEVANCE", 1},
                                {"SORT_SCORE", 2},
                                {"SORT_TIME_NEWER", 3},
                                {"SORT_TIME_OLDER", 4},
                                {"NOSORT", 0, false},
                                {"SCORE", 0, false},
                                {"SCORE_AGED", 0, false}});
    s.enumeration("QueryAtomType", {{"ATOM_WORD", 0},
                                    {"WORD", 0, false},
                                    {"ATOM_NOT", 1},
                                    {"NOT", 1, false},
                                    {"ATOM_AND", 2},
                                    {"AND", 2, false},
                                    {"ATOM_OR", 3},
                                    {"OR", 3, false},
                                    {"ATOM_NEAR", 4},
                                    {"NEAR_SET", 4, false},
                                    {"NEAR_SEQ", 4, false},
                                    {"ATOM_META", 5},
                                    {"META", 5, false}});
    s.enumeration("DocumentFormat", {{"ORIGINAL", 0}, {"PARSED", 1}, {"HTML", 2}});
    s.enumeration("RootACLType", {{"ROOTACL_BROWSING", 0}, {"ROOTACL_CRAWLING", 1}});

    s.record("CookieParam", {{"Name", "string"}, {"Value", "string"}, {"Type", "CookieParamType"}});
    s.record("ParamValue", {{"Name", "string"}, {"Value", "string"}});
    s.record("ExtendedStatus", {{"Key", "string"}, {"Value", "string"}});
    s.record("CrawlLog", {{"Time", "int"}, {"Cookie", "string"}});
    s.record("CrawlLogData",
             {{"Time", "int"}, {"ID", "string"}, {"Url", "string"}, {"Error", "CrawlError"}});
    s.record("QueryLogData", {{"Time", "int"}, {"Query", "string"}});
    s.record("AccessSpec", {{"Name", "string"}, {"Access", "boolean"}, {"Deny", "boolean"}});
    s.record("PluginDLLInfo",
             {{"Type", "PluginType"}, {"Name", "string"}, {"Description", "string"}});
    s.record("CookieAuthParams", {{"Url", "string"},
                                  {"Action", "CookieActionType"},
                                  {"Freshness", "int"},
                                  {"Params", "CookieParam[]"},
                                  {"PreUrls", "string[]"}});
    s.record("AuthConfiguration", {{"Username", "string"},
                                   {"Password", "string"},
                                   {"ParamValues", "ParamValue[]"},
                                   {"ACL", "AccessSpec[]"}});
    s.record("ArchiveConfiguration", {{"Name", "string"},
                                      {"Historicize", "boolean"},
                                      {"AdministrativeContact", "string"},
                                      {"Source", "int"},
                                      {"Auth", "int"},
                                      {"SchedulingFrequency", "Frequency"},
                                      {"SchedulingAttribute", "int"},
                                      {"AccessTime", "int"},
                                      {"PagesLimit", "int"},
                                      {"GarbageLimit", "int"},
                                      {"DocumentCache", "Cache"},
                                      {"ACL", "AccessSpec[]", true}});
    s.record("CollectionConfiguration", {{"Name", "string"},
                                         {"Description", "string"},
                                         {"Archives", "int[]"},
                                         {"ACL", "AccessSpec[]"}});
    s.record("WatchConfiguration", {{"Name", "string"},
                                    {"Description", "string"},
                                    {"Query", "string"},
                                    {"Parser", "QueryParser"},
                                    {"Freshness", "int"},
                                    {"Collection", "int"},
                                    {"ACL", "AccessSpec[]"}});
    s.record("IndexConfiguration", {{"Name", "string"},
                                    {"Historicize", "boolean"},
                                    {"AdministrativeContact", "string"},
                                    {"Seeds", "string[]"},
                                    {"IncludeFilters", "string[]"},
                                    {"ExcludeFilters", "string[]"},
                                    {"SchedulingFrequency", "Frequency"},
                                    {"SchedulingAttribute", "int"},
                                    {"AccessTime", "int"},
                                    {"PagesLimit", "int"},
                                    {"DepthLimit", "int"},
                                    {"GarbageLimit", "int"}});
    s.record("SourceConfiguration", {{"Name", "string"},
                                     {"Description", "string"},
                                     {"Seeds", "string[]"},
                                     {"IncludeFilters", "string[]"},
                                     {"ExcludeFilters", "string[]"},
                                     {"CheckRobotsTxt", "boolean"},
                                     {"HasSideMetadata", "boolean"},
                                     {"DepthLimit", "int"},
                                     {"Type", "AuthType"},
                                     {"CookieParams", "CookieAuthParams"},
                                     {"RendererDocFilterIDs", "int[]"},
                                     {"TextExclusionBeginMarker", "string"},
                                     {"TextExclusionEndMarker", "string"},
                                     {"ACL", "AccessSpec[]"}});
    s.record("Plugin", {{"Type", "PluginType"},
                        {"Name", "string"},
                        {"Description", "string"},
                        {"DLLName", "string"},
                        {"DLLParameters", "string"},
                        {"ACL", "AccessSpec[]"}});
    s.record("DocFilter", {{"Type", "PluginType"},
                           {"Name", "string"},
                           {"Description", "string"},
                           {"PluginID", "int"},
                           {"Config", "string"},
                           {"ACL", "AccessSpec[]"}});
    s.record("SourceInfo", {{"Source", "int"},
                            {"Configuration", "SourceConfiguration"},
                            {"Magic", "int"},
                            {"ReadOnly", "boolean"}});
    s.record("ArchiveInfo", {{"Archive", "int"},
                             {"Configuration", "ArchiveConfiguration"},
                             {"Magic", "int"},
                             {"ReadOnly", "boolean"},
                             {"Crawling", "boolean"},
                             {"Documents", "int"},
                             {"Errors", "int"},
                             {"LastRunStart", "int"},
                             {"LastRunEnd", "int"},
                             {"NextRun", "int"}});
    s.record("CollectionInfo", {{"Collection", "int"},
                                {"Configuration", "CollectionConfiguration"},
                                {"Magic", "int"},
                                {"ReadOnly", "boolean"}});
    s.record("WatchInfo", {{"Watch", "int"},
                           {"Configuration", "WatchConfiguration"},
                           {"Magic", "int"},
                           {"ReadOnly", "boolean"}});
    s.record("IndexInfo", {{"Name", "string"},
                           {"Index", "int"},
                           {"Crawling", "boolean"},
                           {"Historicize", "boolean"},
                           {"Documents", "int"},
                           {"Errors", "int"},
                           {"LastRunStart", "int"},
                           {"LastRunEnd", "int"},
                           {"NextRun", "int"},
                           {"Configuration", "IndexConfiguration"},
                           {"Magic", "int"}});
    s.record("PluginInfo", {{"PluginID", "int"},
                            {"Type", "PluginType"},
                            {"PluginConfiguration", "Plugin"},
                            {"Magic", "int"},
                            {"ReadOnly", "boolean"}});
    s.record("DocFilterInfo", {{"DocFilterID", "int"},
                               {"Type", "PluginType"},
                               {"DocFilterConfiguration", "DocFilter"},
                               {"Magic", "int"},
                               {"ReadOnly", "boolean"}});
    s.record("RendererPluginPipe", {{"DocFilterIDs", "int[]"}});
    s.record("QueryResult", {{"ID", "string"},
                             {"Url", "string"},
                             {"Title", "string"},
                             {"MimeType", "string"},
                             {"Contexts", "string[]"},
                             {"Timestamp", "int"},
                             {"ServerTime", "int"},
                             {"Score", "int"},
                             {"Archives", "int[]"},
                             {"Categories", "string"}});
    s.record("QueryAtom", {{"Type", "QueryAtomType"}, {"Param", "string"}, {"Meta", "string"}});
    s.record("SliceWeight", {{"Slice", "int"}, {"Weight", "int"}});
    s.record("Query", {{"Archives", "int[]"},
                       {"Archive", "int"},
                       {"Collection", "int"},
                       {"Watch", "int"},
                       {"Indexes", "int[]"},
                       {"FirstDoc", "int"},
                       {"LastDoc", "int"},
                       {"MinTime", "int"},
                       {"MaxTime", "int"},
                       {"MinScore", "int"},
                       {"Info", "QueryInfo"},
                       {"View", "QueryView"},
                       {"Sort", "QuerySort"},
                       {"Parser", "QueryParser"},
                       {"Query", "QueryAtom[]"},
                       {"QueryString", "string"},
                       {"Weights", "SliceWeight[]"}});
}

// The methods of one record kind: Add, Remove, Get, Set and, with an info type, Enum.
void declare_record_methods(service& s, std::string_view kind, std::string_view config,
                            std::string_view info, bool set_returns_info) {
    std::string add = "Add" + std::string(kind);
    std::string remove = "Remove" + std::string(kind);
    std::string get = "Get" + std::string(config);
    std::string set = "Set" + std::string(config);
    if (info.empty()) {
        s.add_method(add, {{"cfg", config}}, {{"id", "int"}});
    } else {
        s.add_method(add, {{"cfg", config}}, {{"info", info}});
    }
    s.add_method(remove, {{"id", "int"}}, {});
    s.add_method(get, {{"id", "int"}}, {{"cfg", config}, {"magic", "int"}});
    if (set_returns_info) {
        s.add_method(set, {{"id", "int"}, {"cfg", config}, {"magic", "int"}}, {{"info", info}});
    } else {
        s.add_method(set, {{"id", "int"}, {"cfg", config}, {"magic", "int"}}, {});
    }
}

void declare_methods(service& s) {
    const std::string_view arcid = "arcid";
    const std::string_view idxid = "idxid";

    declare_record_methods(s, "Source", "SourceConfiguration", "SourceInfo", true);
    s.add_method("EnumSourceConfigurations", {}, {{"infos", "SourceInfo[]"}});
    declare_record_methods(s, "Auth", "AuthConfiguration", {}, false);
    declare_record_methods(s, "Archive", "ArchiveConfiguration", "ArchiveInfo", true);
    s.add_method("EnumArchiveConfigurations", {}, {{"infos", "ArchiveInfo[]"}});
    s.add_method("GetArchiveInfo", {{"id", "int"}}, {{"info", "ArchiveInfo"}});
    declare_record_methods(s, "Collection", "CollectionConfiguration", "CollectionInfo", true);
    s.add_method("EnumCollectionConfigurations", {}, {{"infos", "CollectionInfo[]"}});
    declare_record_methods(s, "Watch", "WatchConfiguration", "WatchInfo", true);
    s.add_method("EnumWatchConfigurations", {}, {{"infos", "WatchInfo[]"}});

    s.add_method("Query", {{"query", "Query"}},
                 {{"results", "QueryResult[]"}, {"maxresults", "int"}});
    s.add_method("QueryIndex", {{"query", "Query"}},
                 {{"results", "QueryResult[]"}, {"maxresults", "int"}});
    for (std::string_view name : {"GetDocument", "GetCachedPage"}) {
        s.add_method(name, {{"docid", "string", false, "ID"}, {"format", "DocumentFormat"}},
                     {{"url", "string"}, {"type", "string"}, {"content", "base64Binary"}});
    }
    s.add_method("GetDocumentURL", {{"docid", "string"}}, {{"url", "string"}});
    s.add_method("AddDocument",
                 {{"arcid", "int", false, idxid},
                  {"url", "string"},
                  {"mimetype", "string", false, "type"},
                  {"content", "base64Binary"}},
                 {{"docid", "string"}});
    s.add_method("RemoveDocument", {{"docid", "string"}}, {});

    s.add_method("GetStatus", {}, {{"status", "Status"}, {"extendedstatus", "ExtendedStatus[]"}});
    s.add_method("GetVersion", {}, {{"version", "string"}});
    s.add_method("GetMinClientVersion", {}, {{"version", "string"}});
    s.add_method("GetCapabilities", {},
                 {{"historicize", "boolean"},
                  {"admin", "boolean"},
                  {"browsingwrite", "boolean"},
                  {"crawlingwrite", "boolean"}});
    s.add_method("NormalizeURL", {{"url", "string"}}, {{"url", "string"}});

    for (std::string_view name : {"StartCrawl", "StopCrawl", "ReprocessDocuments"}) {
        s.add_method(name, {{arcid, "int", false, idxid}}, {{"info", "ArchiveInfo"}});
    }
    s.add_method("GetAvailableCrawlLogs", {{arcid, "int", false, idxid}}, {{"logs", "CrawlLog[]"}});
    s.add_method("GetCrawlLog",
                 {{arcid, "int", false, idxid}, {"nmax", "int"}, {"log", "CrawlLog"}},
                 {{"log", "CrawlLog"}, {"data", "CrawlLogData[]", true}});
    s.add_method("GetQueryLog", {{arcid, "int", false, idxid}, {"begin", "int"}, {"end", "int"}},
                 {{"data", "QueryLogData[]", true}});

    s.add_method("AddUser",
                 {{"username", "string"},
                  {"password", "string"},
                  {"admin", "boolean"},
                  {"groups", "string[]"}},
                 {});
    s.add_method("RemoveUser", {{"username", "string"}}, {});
    s.add_method("GetUserData", {{"username", "string"}},
                 {{"admin", "boolean"}, {"groups", "string[]"}});
    s.add_method("SetUserData",
                 {{"username", "string"}, {"admin", "boolean"}, {"groups", "string[]"}}, {});
    s.add_method("SetUserPassword", {{"username", "string"}, {"password", "string"}}, {});
    s.add_method("AddGroup", {{"groupname", "string"}}, {});
    s.add_method("RemoveGroup", {{"groupname", "string"}}, {});
    s.add_method("EnumUsersAndGroups", {},
                 {{"users", "string[]"},
                  {"builtinusers", "string[]"},
                  {"groups", "string[]"},
                  {"builtingroups", "string[]"}});
    s.add_method("GetRootACL", {{"type", "RootACLType"}},
                 {{"acl", "AccessSpec[]"}, {"magic", "int"}});
    s.add_method("SetRootACL", {{"type", "RootACLType"}, {"acl", "AccessSpec[]"}, {"magic", "int"}},
                 {});

    s.add_method("EnumPluginDLLs", {{"types", "PluginType[]"}}, {{"infos", "PluginDLLInfo[]"}});
    s.add_method("EnumPlugins", {{"types", "PluginType[]"}, {"full", "boolean"}},
                 {{"infos", "PluginInfo[]"}});
    s.add_method("AddPlugin", {{"plugin", "Plugin"}}, {{"id", "int"}});
    s.add_method("RemovePlugin", {{"id", "int"}}, {});
    s.add_method("GetPlugin", {{"id", "int"}}, {{"plugin", "Plugin"}, {"magic", "int"}});
    s.add_method("SetPlugin", {{"id", "int"}, {"plugin", "Plugin"}, {"magic", "int"}}, {});
    s.add_method("EnumDocFilters", {{"types", "PluginType[]"}, {"full", "boolean"}},
                 {{"infos", "DocFilterInfo[]"}});
    s.add_method("AddDocFilter", {{"docfilter", "DocFilter"}}, {{"id", "int"}});
    s.add_method("RemoveDocFilter", {{"id", "int"}}, {});
    s.add_method("GetDocFilter", {{"id", "int"}}, {{"docfilter", "DocFilter"}, {"magic", "int"}});
    s.add_method("SetDocFilter", {{"id", "int"}, {"docfilter", "DocFilter"}, {"magic", "int"}}, {});
    s.add_method("GetRootRendererPipe", {}, {{"pipe", "RendererPluginPipe"}, {"magic", "int"}});
    s.add_method("SetRootRendererPipe", {{"pipe", "RendererPluginPipe"}, {"magic", "int"}}, {});

    declare_record_methods(s, "Index", "IndexConfiguration", {}, false);
    s.add_method("EnumIndexConfigurations", {}, {{"infos", "IndexInfo[]"}});
}

}  // namespace

const service& search_service() {
    static const service s("MarlovenSearch", std::string(search_ns), [](service& built) {
        declare_types(built);
        declare_methods(built);
    });
    return s;
}

const service& research_service() {
    static const service s("MarlovenResearch", std::string(research_ns), [](service& built) {
        built.add_method("Registration", {{"registrationXml", "string"}}, {{"return", "string"}});
        built.add_method("Query", {{"queryXml", "string"}}, {{"return", "string"}});
    });
    return s;
}

}  // namespace marloven::soap
