# methods.py: which client stack proves which method of the search service. Every method of the
# served WSDL is in exactly one of the two sets; each stack's test checks that it called every
# method of its set with its results checked (suds_client_test.py, php_client_test.py), and the
# suds test checks that the two sets together are the WSDL's methods.
# SPDX-License-Identifier: MIT

# Python's suds: sources, archives and collections; a crawl of the test site with its crawl log,
# queries with each parser and the stored documents in their three forms; users and groups; the
# server's status and version.
SUDS = {
    "AddSource", "GetSourceConfiguration", "SetSourceConfiguration", "EnumSourceConfigurations",
    "RemoveSource",
    "AddArchive", "GetArchiveConfiguration", "SetArchiveConfiguration",
    "EnumArchiveConfigurations", "RemoveArchive", "GetArchiveInfo",
    "AddCollection", "GetCollectionConfiguration", "SetCollectionConfiguration",
    "EnumCollectionConfigurations", "RemoveCollection",
    "StartCrawl", "StopCrawl", "GetAvailableCrawlLogs", "GetCrawlLog",
    "Query", "QueryIndex", "GetDocument", "GetCachedPage",
    "AddUser", "RemoveUser", "GetUserData", "SetUserData", "SetUserPassword", "AddGroup",
    "RemoveGroup", "EnumUsersAndGroups",
    "GetStatus", "GetVersion",
}

# PHP's SoapClient: watches, credential sets and the legacy index records; the plug-in, document
# filter and renderer-pipe methods; root access lists; documents added, located, reprocessed
# and removed by clients, and the query log; the remaining server calls.
PHP = {
    "AddWatch", "GetWatchConfiguration", "SetWatchConfiguration", "EnumWatchConfigurations",
    "RemoveWatch",
    "AddAuth", "GetAuthConfiguration", "SetAuthConfiguration", "RemoveAuth",
    "AddIndex", "GetIndexConfiguration", "SetIndexConfiguration", "EnumIndexConfigurations",
    "RemoveIndex",
    "EnumPluginDLLs", "EnumPlugins", "AddPlugin", "GetPlugin", "SetPlugin", "RemovePlugin",
    "EnumDocFilters", "AddDocFilter", "GetDocFilter", "SetDocFilter", "RemoveDocFilter",
    "GetRootRendererPipe", "SetRootRendererPipe",
    "GetRootACL", "SetRootACL",
    "AddDocument", "GetDocumentURL", "ReprocessDocuments", "RemoveDocument", "GetQueryLog",
    "GetMinClientVersion", "GetCapabilities", "NormalizeURL",
}
