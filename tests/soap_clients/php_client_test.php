<?php
// php_client_test.php: the daemon driven through PHP's SoapClient, which reads the WSDL the
// daemon serves: watches, credential sets and index records round trip with their stamps;
// plug-ins, document filters and the renderer pipe; root access lists; documents added by the
// client, found, reprocessed and removed, with the query log; the remaining server calls.
// Usage: php php_client_test.php DAEMON_URL USER PASSWORD CALLED_FILE
// Prints each failed check and exits 1 when there was one; writes the names of the methods it
// called to CALLED_FILE (JSON), so that its runner can check them against the method table.
// SPDX-License-Identifier: MIT

[$url, $user, $password, $called_file] = array_slice($argv, 1);

// Remembers the name of every method called.
class recording_client extends SoapClient {
    public array $called = [];
    public function __call($name, $args) {
        $this->called[$name] = true;
        return $this->__soapCall($name, $args);
    }
}

$failures = 0;
function check(bool $ok, string $what): void {
    global $failures;
    if (!$ok) {
        $failures++;
        $trace = debug_backtrace();
        $where = end($trace)['line'];  // the line of the script that the check came from
        fwrite(STDOUT, "FAILED (line $where): $what\n");
    }
}
// Scalars compare strictly; arrays and records by their JSON texts (element order included).
function same($actual, $expected, string $what): void {
    $equal = is_scalar($expected) || $expected === null ? $actual === $expected
                                                        : json_encode($actual) === json_encode($expected);
    check($equal, $what . ": expected " . var_export($expected, true) . ", got " .
          var_export($actual, true));
}
// The faultstring of a call that must fail.
function fault_of(callable $call): string {
    try {
        $call();
    } catch (SoapFault $f) {
        return $f->faultstring;
    }
    return "(no fault)";
}
function eventually(callable $condition, string $what, int $seconds = 60) {
    $deadline = microtime(true) + $seconds;
    while (!($value = $condition())) {
        if (microtime(true) > $deadline) {
            throw new RuntimeException("Timed out waiting for $what");
        }
        usleep(100000);
    }
    return $value;
}
function acl(string $name, bool $write = false, bool $deny = false): object {
    return (object)["Name" => $name, "Access" => $write, "Deny" => $deny];
}

$soap = new recording_client("$url/wsdl", [
    "login" => $user, "password" => $password, "cache_wsdl" => WSDL_CACHE_NONE,
    "exceptions" => true, "connection_timeout" => 60,
]);

// ---- the server ---------------------------------------------------------------------------------
same($soap->GetMinClientVersion(), "2.0.0", "GetMinClientVersion");
same($soap->GetCapabilities(), ["historicize" => true, "admin" => true, "browsingwrite" => true,
                                "crawlingwrite" => true], "GetCapabilities of an administrator");
same($soap->NormalizeURL("HTTP://Example.ORG:80/a/./b/../c?x=1#part"), "http://example.org/a/c?x=1",
     "NormalizeURL");

// ---- root access lists --------------------------------------------------------------------------
$browsing = $soap->GetRootACL("ROOTACL_BROWSING");
same($browsing["acl"], [], "a root list never stored is empty");
$soap->SetRootACL("ROOTACL_BROWSING", [acl("readers"), acl("editors", true)], $browsing["magic"]);
$changed = $soap->GetRootACL("ROOTACL_BROWSING");
same($changed["acl"], [acl("readers"), acl("editors", true)], "the browsing list as stored");
check($changed["magic"] !== $browsing["magic"], "a stored root list has a new stamp");
same(fault_of(fn() => $soap->SetRootACL("ROOTACL_BROWSING", [], $browsing["magic"])), "BadMagic",
     "SetRootACL with a stale stamp");
same($soap->GetRootACL("ROOTACL_CRAWLING")["acl"], [], "the crawling list is another list");

// ---- records ------------------------------------------------------------------------------------
// Add (through $add, which returns the new id), Get, Set with the stamp, Set with the stale stamp
// (BadMagic, nothing changed) of one record kind, whose Get and Set name the record $element;
// the Set changes $field to $new_value.
function round_trip($soap, string $kind, string $config, string $element, object $cfg,
                    string $field, $new_value, callable $add): int {
    $id = $add($cfg);
    check($id > 0, "Add$kind gives an id");
    $got = $soap->{"Get$config"}($id);
    foreach (get_object_vars($cfg) as $name => $value) {
        same($got[$element]->$name ?? null, $value, "$name of Get$config after Add$kind");
    }
    $changed = clone $got[$element];
    $changed->$field = $new_value;
    $soap->{"Set$config"}($id, $changed, $got["magic"]);
    $after = $soap->{"Get$config"}($id);
    same($after[$element]->$field, $new_value, "Set$config with the stamp");
    check($after["magic"] !== $got["magic"], "Set$config gives a new stamp");
    same(fault_of(fn() => $soap->{"Set$config"}($id, $got[$element], $got["magic"])), "BadMagic",
         "Set$config with a stale stamp");
    same($soap->{"Get$config"}($id)[$element]->$field, $new_value,
         "a refused Set$config changes nothing");
    return $id;
}
function gone($soap, string $config, int $id): void {
    same(fault_of(fn() => $soap->{"Get$config"}($id)), "AccessViolation", "Get$config after removal");
}

$source = $soap->AddSource((object)["Name" => "php site", "Seeds" => ["http://127.0.0.1:9/"]]);
$archive = $soap->AddArchive((object)["Name" => "php daily", "Source" => $source->Source,
                                      "SchedulingFrequency" => "DAILY",
                                      "SchedulingAttribute" => 1, "AccessTime" => 3]);
$arcid = $archive->Archive;
$collection = $soap->AddCollection((object)["Name" => "php", "Archives" => [$arcid]]);

// Watches.
$watch_id = round_trip($soap, "Watch", "WatchConfiguration", "cfg",
    (object)["Name" => "lighthouses", "Query" => "lighthouse", "Parser" => "NETPARSER",
             "Freshness" => 86400, "Collection" => $collection->Collection,
             "ACL" => [acl("readers")]],
    "Description", "Lights on the coast",
    function ($cfg) use ($soap) {
        $info = $soap->AddWatch($cfg);
        same([$info->Configuration->Parser, $info->Configuration->Freshness, $info->ReadOnly],
             ["NETPARSER", 86400, false], "AddWatch's WatchInfo");
        return $info->Watch;
    });
$listed = array_column($soap->EnumWatchConfigurations(), null, "Watch");
same($listed[$watch_id]->Configuration->Description ?? null, "Lights on the coast",
     "EnumWatchConfigurations lists the watch");
same($listed[$watch_id]->Configuration->ACL ?? null, [acl("readers")], "the watch's access list");
same(fault_of(fn() => $soap->RemoveCollection($collection->Collection)), "InUse",
     "a collection that a watch names stays");
$soap->RemoveWatch($watch_id);
gone($soap, "WatchConfiguration", $watch_id);
check(!isset(array_column($soap->EnumWatchConfigurations(), null, "Watch")[$watch_id]),
      "a removed watch is not listed");

// Credential sets.
$auth_id = round_trip($soap, "Auth", "AuthConfiguration", "cfg",
    (object)["Username" => "crawler", "Password" => "pw & <secret>",
             "ParamValues" => [(object)["Name" => "realm", "Value" => "intranet"]]],
    "Password", "changed",
    fn($cfg) => $soap->AddAuth($cfg));
$auth = $soap->GetAuthConfiguration($auth_id)["cfg"];
same([$auth->Username, $auth->ParamValues], ["crawler", [(object)["Name" => "realm",
     "Value" => "intranet"]]], "GetAuthConfiguration");
$user_of_auth = $soap->AddArchive((object)["Name" => "with auth", "Source" => $source->Source,
                                           "Auth" => $auth_id]);
same(fault_of(fn() => $soap->RemoveAuth($auth_id)), "InUse", "credentials an archive names stay");
$soap->RemoveArchive($user_of_auth->Archive);
$soap->RemoveAuth($auth_id);
gone($soap, "AuthConfiguration", $auth_id);

// Legacy index records: a source and an archive handled as one.
$index = (object)["Name" => "php index", "Seeds" => ["http://127.0.0.1:9/i"],
                  "IncludeFilters" => ["^http://127\\.0\\.0\\.1:9/"],
                  "SchedulingFrequency" => "WEEKLY", "SchedulingAttribute" => 2,
                  "AccessTime" => 4, "PagesLimit" => 10, "DepthLimit" => 2];
$index_id = round_trip($soap, "Index", "IndexConfiguration", "cfg", $index, "PagesLimit", 20,
                       fn($cfg) => $soap->AddIndex($cfg));
$got = $soap->GetIndexConfiguration($index_id);
same([$got["cfg"]->Seeds, $got["cfg"]->SchedulingFrequency, $got["cfg"]->DepthLimit],
     [["http://127.0.0.1:9/i"], "WEEKLY", 2], "GetIndexConfiguration");
$listed = array_column($soap->EnumIndexConfigurations(), null, "Index");
same([$listed[$index_id]->Name ?? null, $listed[$index_id]->Magic ?? null,
      $listed[$index_id]->Configuration->PagesLimit ?? null],
     ["php index", $got["magic"], 20], "EnumIndexConfigurations lists the index");
$soap->RemoveIndex($index_id);
gone($soap, "IndexConfiguration", $index_id);

// ---- plug-ins, document filters and the renderer pipe -------------------------------------------
$libraries = $soap->EnumPluginDLLs([]);
check(count($libraries) >= 2, "EnumPluginDLLs lists the installation's libraries");
same(array_unique(array_column($libraries, "Type")), ["ARCHIVEFFF_PLUGINTYPE"],
     "libraries are shown as FFF plug-ins");
same($soap->EnumPluginDLLs(["UNKNOWN_PLUGINTYPE"]), [], "no library of the unknown type");

$plugin_id = round_trip($soap, "Plugin", "Plugin", "plugin",
    (object)["Name" => "php urls", "Description" => "URL parts", "DLLName" => "urlplugin",
             "DLLParameters" => "parts=host"],
    "Description", "URL parts, changed",
    fn($cfg) => $soap->AddPlugin($cfg));
$full = array_column($soap->EnumPlugins(["ARCHIVEFFF_PLUGINTYPE"], true), null, "PluginID");
same([$full[$plugin_id]->Type ?? null, $full[$plugin_id]->PluginConfiguration->DLLParameters ?? null],
     ["ARCHIVEFFF_PLUGINTYPE", "parts=host"], "EnumPlugins in full");
$summary = array_column($soap->EnumPlugins([], false), null, "PluginID");
same($summary[$plugin_id]->PluginConfiguration->DLLParameters ?? null, "",
     "EnumPlugins without full leaves the configuration out");

$filter_id = round_trip($soap, "DocFilter", "DocFilter", "docfilter",
    (object)["Name" => "php filter", "PluginID" => $plugin_id, "Config" => "strip"],
    "Config", "keep", fn($cfg) => $soap->AddDocFilter($cfg));
$filters = array_column($soap->EnumDocFilters([], true), null, "DocFilterID");
same([$filters[$filter_id]->DocFilterConfiguration->PluginID ?? null,
      $filters[$filter_id]->DocFilterConfiguration->Config ?? null],
     [$plugin_id, "keep"], "EnumDocFilters lists the filter");
same(fault_of(fn() => $soap->RemovePlugin($plugin_id)), "InUse", "a plug-in a filter uses stays");

$pipe = $soap->GetRootRendererPipe();
$ids = $pipe["pipe"]->DocFilterIDs;
$soap->SetRootRendererPipe((object)["DocFilterIDs" => array_merge($ids, [$filter_id])],
                           $pipe["magic"]);
$piped = $soap->GetRootRendererPipe();
same($piped["pipe"]->DocFilterIDs, array_merge($ids, [$filter_id]), "the renderer pipe as stored");
same(fault_of(fn() => $soap->SetRootRendererPipe((object)["DocFilterIDs" => []], $pipe["magic"])),
     "BadMagic", "SetRootRendererPipe with a stale stamp");
same(fault_of(fn() => $soap->RemoveDocFilter($filter_id)), "InUse", "a piped filter stays");
$soap->SetRootRendererPipe((object)["DocFilterIDs" => $ids], $piped["magic"]);
$soap->RemoveDocFilter($filter_id);
$soap->RemovePlugin($plugin_id);
gone($soap, "DocFilter", $filter_id);
gone($soap, "Plugin", $plugin_id);

// ---- documents and the query log ----------------------------------------------------------------
$crawl_ended = fn() => !$soap->GetArchiveInfo($arcid)->Crawling;
$page = "<html><head><title>Lighthouses</title></head><body><p>The lighthouse keeper's log</p>"
      . "</body></html>";
$began = time();
$docid = $soap->AddDocument($arcid, "http://docs.example/light", "text/html; charset=utf-8", $page);
check(preg_match('/^[0-9a-f]{32}$/', $docid) === 1, "AddDocument gives a guid: $docid");
same($soap->GetDocumentURL($docid), "http://docs.example/light", "GetDocumentURL");
$query = (object)["Archives" => [$arcid], "FirstDoc" => 0, "LastDoc" => 9,
                  "Parser" => "NETPARSER", "QueryString" => "lighthouse"];
$queries = 0;
$found = eventually(function () use ($soap, $query, &$queries) {
    $queries++;
    return ($r = $soap->Query($query))["maxresults"] === 1 ? $r : null;
}, "the added document to be found");
same($found["results"][0]->ID ?? null, $docid, "the query finds the added document");
$logged = $soap->GetQueryLog($arcid, $began - 1, time() + 1);
same(array_column($logged, "Query"), array_fill(0, $queries, "WORD:lighthouse"),
     "GetQueryLog has every query");
check(($logged[0]->Time ?? 0) >= $began - 1, "the query is logged with its time");

eventually($crawl_ended, "the added document's processing to end");
$before = $soap->GetArchiveInfo($arcid);
$again = $soap->ReprocessDocuments($arcid);
check($again->Crawling && $again->LastRunStart >= $before->LastRunStart,
      "ReprocessDocuments opens a crawl");
eventually($crawl_ended, "the reprocessing to end");
same($soap->Query($query)["results"][0]->ID ?? null, $docid, "a reprocessed document is found");

$soap->RemoveDocument($docid);
same($soap->GetDocumentURL($docid), "", "a removed document has no URL");
eventually(fn() => $soap->Query($query)["maxresults"] === 0, "the removal to reach the index");

file_put_contents($called_file, json_encode(array_keys($soap->called)));
exit($failures === 0 ? 0 : 1);
