# access_matrix_test.py: every method of the search service called, through suds, as the
# built-in administrator (HTTP_USER), as a user of the login record whose group the access lists
# grant read access, as one they grant nothing, and without credentials; the outcome of each call
# must be the one the access rules give (the table below), so that nothing is allowed that the
# rules do not allow.
# SPDX-License-Identifier: MIT
import itertools
import sys
import unittest

from support import (ADMIN, ADMIN_PASSWORD, Daemon, fill, post_without_credentials, record_kinds,
                     resolved, suds_client)

ROLES = ("admin", "reader", "stranger", "anonymous")

# Outcomes: ok (allowed; a listing lists the record made for the test), hidden (allowed, but the
# listing leaves that record out), AV (the fault "AccessViolation"), 401 (the HTTP refusal),
# caps=HABC (GetCapabilities: historicize, admin, browsing write and crawling write as 1 or 0).
EXPECTED = """
method                        admin     reader     stranger   anonymous
AddSource                     ok        AV         AV         401
RemoveSource                  ok        AV         AV         401
GetSourceConfiguration        ok        ok         AV         401
SetSourceConfiguration        ok        AV         AV         401
EnumSourceConfigurations      ok        ok         hidden     401
AddAuth                       ok        AV         AV         401
RemoveAuth                    ok        AV         AV         401
GetAuthConfiguration          ok        ok         AV         401
SetAuthConfiguration          ok        AV         AV         401
AddArchive                    ok        AV         AV         401
RemoveArchive                 ok        AV         AV         401
GetArchiveConfiguration       ok        ok         AV         401
SetArchiveConfiguration       ok        AV         AV         401
EnumArchiveConfigurations     ok        ok         hidden     401
GetArchiveInfo                ok        ok         AV         401
AddCollection                 ok        AV         AV         401
RemoveCollection              ok        AV         AV         401
GetCollectionConfiguration    ok        ok         AV         401
SetCollectionConfiguration    ok        AV         AV         401
EnumCollectionConfigurations  ok        ok         hidden     401
AddWatch                      ok        AV         AV         401
RemoveWatch                   ok        AV         AV         401
GetWatchConfiguration         ok        ok         AV         401
SetWatchConfiguration         ok        AV         AV         401
EnumWatchConfigurations       ok        ok         hidden     401
Query                         ok        ok         AV         401
QueryIndex                    ok        ok         AV         401
GetDocument                   ok        ok         AV         401
GetCachedPage                 ok        ok         AV         401
GetDocumentURL                ok        ok         AV         401
AddDocument                   ok        AV         AV         401
RemoveDocument                ok        AV         AV         401
GetStatus                     ok        ok         AV         401
GetVersion                    ok        ok         AV         401
GetMinClientVersion           ok        ok         AV         401
GetCapabilities               caps=1111 caps=1000  caps=1000  401
NormalizeURL                  ok        ok         ok         401
StartCrawl                    ok        AV         AV         401
StopCrawl                     ok        AV         AV         401
ReprocessDocuments            ok        AV         AV         401
GetAvailableCrawlLogs         ok        ok         AV         401
GetCrawlLog                   ok        ok         AV         401
GetQueryLog                   ok        ok         AV         401
AddUser                       ok        AV         AV         401
RemoveUser                    ok        AV         AV         401
GetUserData                   ok        ok         AV         401
SetUserData                   ok        AV         AV         401
SetUserPassword               ok        ok         AV         401
AddGroup                      ok        AV         AV         401
RemoveGroup                   ok        AV         AV         401
EnumUsersAndGroups            ok        ok         AV         401
GetRootACL                    ok        AV         AV         401
SetRootACL                    ok        AV         AV         401
EnumPluginDLLs                ok        ok         ok         401
EnumPlugins                   ok        ok         hidden     401
AddPlugin                     ok        AV         AV         401
RemovePlugin                  ok        AV         AV         401
GetPlugin                     ok        ok         AV         401
SetPlugin                     ok        AV         AV         401
EnumDocFilters                ok        ok         hidden     401
AddDocFilter                  ok        AV         AV         401
RemoveDocFilter               ok        AV         AV         401
GetDocFilter                  ok        ok         AV         401
SetDocFilter                  ok        AV         AV         401
GetRootRendererPipe           ok        ok         AV         401
SetRootRendererPipe           ok        AV         AV         401
AddIndex                      ok        AV         AV         401
RemoveIndex                   ok        AV         AV         401
GetIndexConfiguration         ok        ok         AV         401
SetIndexConfiguration         ok        AV         AV         401
EnumIndexConfigurations       ok        ok         hidden     401
"""

READER, READER_PASSWORD = "rita", "rita's password"
READERS = [{"Name": "readers", "Access": False, "Deny": False}]
STRANGER, STRANGER_PASSWORD = "nora", "nora's password"


class outcome(str):
    """What a call answers for the table, where "ok" says too little."""


def values(reply):
    """The results of a reply of several results, in their order."""
    return [value for _, value in reply]


class refused(Exception):
    """A request answered with an HTTP status instead of a SOAP reply."""


class anonymous_service:
    """Sends the calls the administrator's client writes, without credentials."""

    def __init__(self, writer, url):
        self.writer, self.url = writer, url

    def __getattr__(self, name):
        def call(*args):
            envelope = getattr(self.writer.service, name)(*args).envelope
            raise refused(str(post_without_credentials(self.url, envelope)))

        return call


class access_matrix_test(unittest.TestCase):
    def setUp(self):
        self.daemon = Daemon(authenticated=True)
        self.addCleanup(self.daemon.stop)
        self.admin = suds_client(self.daemon, ADMIN, ADMIN_PASSWORD)
        self.fixtures()

    def new(self, type_name, **fields):
        return fill(self.admin, type_name, fields)

    def add(self, k):
        """A record of the table's kind `k` that grants the group "readers" read access."""
        a = self.admin.service
        fields = dict(resolved(k["add"], self.ids), ACL=READERS)
        if k["kind"] == "Index":
            del fields["ACL"]
        added = getattr(a, "Add" + k["kind"])(fill(self.admin, k["config"], fields))
        rid = getattr(added, k["info_id"]) if k["info_id"] else added
        if k["kind"] == "Index":
            # A new index grants its creator alone; the reader gets read on both its records.
            archive = a.GetArchiveConfiguration(rid)
            source = a.GetSourceConfiguration(archive.cfg.Source)
            for got, put, of in ((archive, a.SetArchiveConfiguration, rid),
                                 (source, a.SetSourceConfiguration, archive.cfg.Source)):
                put(of, fill(self.admin, got.cfg, {"ACL": list(got.cfg.ACL or []) + READERS}),
                    got.magic)
        return rid

    def fixtures(self):
        """A record of every kind of the record table, another of each for the Remove methods (a
        victim), a document of each sort, and the users."""
        a = self.admin.service
        readers = [fill(self.admin, "AccessSpec", r) for r in READERS]
        for kind in ("ROOTACL_BROWSING", "ROOTACL_CRAWLING"):
            a.SetRootACL(kind, readers, a.GetRootACL(kind).magic)
        a.AddGroup("readers")
        a.AddGroup("victims")
        a.AddUser(READER, READER_PASSWORD, False, ["readers"])
        a.AddUser(STRANGER, STRANGER_PASSWORD, False, [])
        a.AddUser("victim", "pw", False, [])
        self.ids, self.kinds, self.victims = {}, record_kinds(), {}
        for k in self.kinds:
            self.ids[k["kind"]] = self.add(k)
        for k in self.kinds:
            self.victims[k["kind"]] = self.add(k)
        self.arcid = self.ids["Archive"]

        def document(url):
            return a.AddDocument(self.arcid, url, "text/html", "PGh0bWw+PC9odG1sPg==")

        self.guid = document("http://docs.example/kept")
        self.victims["Document"] = document("http://docs.example/victim")
        self.crawl = a.GetAvailableCrawlLogs(self.arcid)[0]
        self.added = itertools.count()

    def calls(self):
        """For each method, the call as a role makes it, given that role's service; a listing's
        call answers whether it lists the test's record."""
        a = self.admin.service
        n = self.new
        calls = {}
        for k in self.kinds:
            kind, config, rid = k["kind"], k["config"], self.ids[k["kind"]]
            calls.update({
                "Add" + kind: lambda s, k=k: getattr(s, "Add" + k["kind"])(
                    fill(self.admin, k["config"], resolved(k["add"], self.ids))),
                "Remove" + kind: lambda s, kind=kind: getattr(s, "Remove" + kind)(
                    self.victims[kind]),
                "Get" + config: lambda s, config=config, rid=rid: getattr(s, "Get" + config)(rid),
                # The stamp is fresh: a refusal is about access, never about the stamp.
                "Set" + config: lambda s, config=config, rid=rid: getattr(s, "Set" + config)(
                    rid, *values(getattr(a, "Get" + config)(rid))),
            })
            if k["enum"]:
                method, args, field = k["enum"]
                calls[method] = lambda s, method=method, args=args, field=field, rid=rid: outcome(
                    "ok" if rid in [getattr(r, field) for r in getattr(s, method)(*args) or []]
                    else "hidden")

        def query(s):
            return s.Query(n("Query", Archives=[self.arcid], Parser="NETPARSER", QueryString="x"))

        def capabilities(s):
            c = s.GetCapabilities()
            return outcome("caps=" + "".join(str(int(bool(f))) for f in (
                c.historicize, c.admin, c.browsingwrite, c.crawlingwrite)))

        calls.update({
            "EnumPluginDLLs": lambda s: outcome("ok" if s.EnumPluginDLLs([]) else "none"),
            "GetRootRendererPipe": lambda s: s.GetRootRendererPipe(),
            "SetRootRendererPipe": lambda s: s.SetRootRendererPipe(
                *values(a.GetRootRendererPipe())),
            "GetArchiveInfo": lambda s: s.GetArchiveInfo(self.arcid),
            "Query": query,
            "QueryIndex": lambda s: s.QueryIndex(n("Query", Archives=[self.arcid],
                                                   Parser="NETPARSER", QueryString="x")),
            "GetDocument": lambda s: s.GetDocument(self.guid, "ORIGINAL"),
            "GetCachedPage": lambda s: s.GetCachedPage(self.guid, "HTML"),
            "GetDocumentURL": lambda s: s.GetDocumentURL(self.guid),
            "AddDocument": lambda s: s.AddDocument(self.arcid, "http://docs.example/new",
                                                   "text/html", "PGh0bWw+PC9odG1sPg=="),
            "RemoveDocument": lambda s: s.RemoveDocument(self.victims["Document"]),
            "GetStatus": lambda s: s.GetStatus(),
            "GetVersion": lambda s: s.GetVersion(),
            "GetMinClientVersion": lambda s: s.GetMinClientVersion(),
            "GetCapabilities": capabilities,
            "NormalizeURL": lambda s: s.NormalizeURL("HTTP://Example.org/"),
            "StartCrawl": lambda s: s.StartCrawl(self.arcid),
            "StopCrawl": lambda s: s.StopCrawl(self.arcid),
            "ReprocessDocuments": lambda s: s.ReprocessDocuments(self.arcid),
            "GetAvailableCrawlLogs": lambda s: s.GetAvailableCrawlLogs(self.arcid),
            "GetCrawlLog": lambda s: s.GetCrawlLog(self.arcid, 10, self.crawl),
            "GetQueryLog": lambda s: s.GetQueryLog(self.arcid, 0, 2 ** 31 - 1),
            "AddUser": lambda s: s.AddUser("added%d" % next(self.added), "pw", False, []),
            "RemoveUser": lambda s: s.RemoveUser("victim"),
            "GetUserData": lambda s: s.GetUserData(READER),
            "SetUserData": lambda s: s.SetUserData(STRANGER, False, []),
            "SetUserPassword": lambda s: s.SetUserPassword(READER, READER_PASSWORD),
            "AddGroup": lambda s: s.AddGroup("added%d" % next(self.added)),
            "RemoveGroup": lambda s: s.RemoveGroup("victims"),
            "EnumUsersAndGroups": lambda s: s.EnumUsersAndGroups(),
            "GetRootACL": lambda s: s.GetRootACL("ROOTACL_CRAWLING"),
            "SetRootACL": lambda s: s.SetRootACL("ROOTACL_CRAWLING",
                                                 *values(a.GetRootACL("ROOTACL_CRAWLING"))),
        })
        return calls

    def test_every_method_allows_exactly_what_the_access_rules_allow(self):
        from suds import WebFault
        expected = {}
        for line in EXPECTED.strip().splitlines()[1:]:
            method, *outcomes = line.split()
            expected[method] = dict(zip(ROLES, outcomes))
        writer = suds_client(self.daemon, ADMIN, ADMIN_PASSWORD, nosend=True)
        services = {
            "admin": self.admin.service,
            "reader": suds_client(self.daemon, READER, READER_PASSWORD).service,
            "stranger": suds_client(self.daemon, STRANGER, STRANGER_PASSWORD).service,
            "anonymous": anonymous_service(writer, self.daemon.url + "/soap"),
        }
        calls = self.calls()
        self.assertEqual(set(calls), set(expected))
        operations = {m.name for m in self.admin.wsdl.services[0].ports[0].methods.values()}
        self.assertEqual(set(expected), operations)

        wrong = []
        for method, outcomes in expected.items():
            # The administrator last: its Remove calls take the victims away.
            for role in ("anonymous", "stranger", "reader", "admin"):
                try:
                    answer = calls[method](services[role])
                    got = answer if isinstance(answer, outcome) else "ok"
                except WebFault as e:
                    got = "AV" if e.fault.faultstring == "AccessViolation" else e.fault.faultstring
                except refused as e:
                    got = str(e)
                if got != outcomes[role]:
                    wrong.append("%s as %s: %s, expected %s" % (method, role, got, outcomes[role]))
        self.assertEqual(wrong, [])


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False, verbosity=2).result.wasSuccessful() else 1)
