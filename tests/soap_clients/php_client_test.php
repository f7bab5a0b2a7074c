<?php
// php_client_test.php: the daemon driven through PHP's SoapClient, which reads the WSDL the
// daemon serves and maps SOAP arrays to PHP arrays and records to objects: every record kind of
// records.json round trips with its stamp (lists of one item stay lists); root access lists and
// the renderer pipe, empty and stored; a document added by the client and read back. (Stale
// stamps, records still in use and removals are the API's tests; the access matrix removes a
// record of every kind through suds.)
// Usage (suds_client_test.py runs it): php php_client_test.php DAEMON_URL USER PASSWORD
// Prints each failed check and exits 1 when there was one.
// SPDX-License-Identifier: MIT

[$url, $user, $password] = array_slice($argv, 1);

$failures = 0;
function check(bool $ok, string $what): void {
    global $failures;
    if (!$ok) {
        $failures++;
        fwrite(STDOUT, "FAILED (line " . debug_backtrace()[0]['line'] . "): $what\n");
    }
}
// Whether $got has every field of $want with its value; an array must come back as an array.
function matches($want, $got): bool {
    if (is_object($want)) {
        foreach (get_object_vars($want) as $name => $value) {
            if (!is_object($got) || !matches($value, $got->$name ?? null)) {
                return false;
            }
        }
        return true;
    }
    if (is_array($want)) {
        if (!is_array($got) || array_values($got) !== $got || count($got) !== count($want)) {
            return false;
        }
        foreach ($want as $i => $item) {
            if (!matches($item, $got[$i])) {
                return false;
            }
        }
        return true;
    }
    return $want === $got;
}
// A value of records.json with each "$Kind" replaced by the id of that kind's record.
function resolved($value, array $ids) {
    $map = [];
    foreach ($ids as $kind => $id) {
        $map["\"\$$kind\""] = (string)$id;
    }
    return json_decode(strtr(json_encode($value), $map));
}

$soap = new SoapClient("$url/wsdl", [
    "login" => $user, "password" => $password, "cache_wsdl" => WSDL_CACHE_NONE,
    "exceptions" => true, "connection_timeout" => 60,
]);

// ---- records ------------------------------------------------------------------------------------
$kinds = json_decode(file_get_contents(__DIR__ . "/records.json"))->kinds;
// The stamp of the listing's row of record $id (null when it is not listed).
$listed = function ($k, int $id) use ($soap) {
    [$method, $args, $field] = $k->enum;
    return array_column($soap->$method(...$args), "Magic", $field)[$id] ?? null;
};
$ids = [];
foreach ($kinds as $k) {
    [$get, $set, $el] = ["Get$k->config", "Set$k->config", $k->element];
    $added = $soap->{"Add$k->kind"}(resolved($k->add, $ids));
    $id = $k->info_id ? $added->{$k->info_id} : $added;
    check($id > 0, "Add$k->kind gives an id");
    $got = $soap->$get($id);
    check(matches(resolved($k->add, $ids), $got[$el]), "$get after Add: " . json_encode($got[$el]));
    foreach (resolved($k->change, $ids) as $name => $value) {
        $got[$el]->$name = $value;
    }
    $soap->$set($id, $got[$el], $got["magic"]);
    $after = $soap->$get($id);
    $want = resolved((object)array_merge((array)$k->add, (array)$k->change), $ids);
    check(matches($want, $after[$el]), "$get after $set: " . json_encode($after[$el]));
    check($after["magic"] !== $got["magic"], "$set gives a new stamp");
    check(!$k->enum || $listed($k, $id) === $after["magic"], "$k->kind $id listed with its stamp");
    $ids[$k->kind] = $id;
}

// ---- root access lists and the renderer pipe ----------------------------------------------------
// A list never stored is an empty array; a stored one comes back as stored, with a new stamp.
$acl = [(object)["Name" => "readers", "Access" => false, "Deny" => false]];
$browsing = $soap->GetRootACL("ROOTACL_BROWSING");
check($browsing["acl"] === [], "a root list never stored is empty");
$soap->SetRootACL("ROOTACL_BROWSING", $acl, $browsing["magic"]);
check(matches($acl, $soap->GetRootACL("ROOTACL_BROWSING")["acl"]), "the browsing list as stored");
check($soap->GetRootACL("ROOTACL_CRAWLING")["acl"] === [], "the crawling list is another list");

$plugin = $soap->AddPlugin((object)["Name" => "p", "DLLName" => "urlplugin"]);
$filter = $soap->AddDocFilter((object)["Name" => "f", "PluginID" => $plugin]);
$pipe = $soap->GetRootRendererPipe();
$soap->SetRootRendererPipe((object)["DocFilterIDs" => [$filter]], $pipe["magic"]);
check($soap->GetRootRendererPipe()["pipe"]->DocFilterIDs === [$filter], "the pipe as stored");

// ---- a document added by the client and read back (the REST upload test finds one) ------------
$source = $soap->AddSource((object)["Name" => "php site", "Seeds" => ["http://127.0.0.1:9/"]]);
$arcid = $soap->AddArchive((object)["Name" => "php", "Source" => $source->Source])->Archive;
$page = "<html><head><title>Lighthouses</title></head><body><p>The lighthouse keeper's log</p>"
      . "</body></html>";
$docid = $soap->AddDocument($arcid, "http://docs.example/light", "text/html; charset=utf-8", $page);
check(preg_match('/^[0-9a-f]{32}$/', $docid) === 1, "AddDocument gives a guid: $docid");
check($soap->GetDocument($docid, "ORIGINAL")["content"] === $page, "the page as sent");

exit($failures === 0 ? 0 : 1);
