# access_matrix_test.py: every method of the search service called, through suds, as the
# built-in administrator (HTTP_USER), as a user of the login record whose group the access lists
# grant read access, as one they grant nothing, and without credentials; the outcome of each call
# must be the one the access rules give (the table below), so that nothing is allowed that the
# rules do not allow.
# SPDX-License-Identifier: MIT
import ast
import itertools
import sys
import unittest
import urllib.error
import urllib.request

from support import ADMIN, ADMIN_PASSWORD, Daemon, fill, record_kinds, resolved, suds_client

ROLES = ("admin", "reader", "stranger", "anonymous")

# Outcomes: ok (allowed; a listing lists the record made for the test), hidden (allowed, but the
# listing leaves that record out), AV (the fault "AccessViolation"), 401 (the HTTP refusal),
# caps=HABC (GetCapabilities: historicize, admin, browsing write and crawling write as 1 or 0).
# A method with arguments in the table (or none, where calls() has no call for it) is called with
# them: "$name" stands for the fixture's value of that name, other texts are Python literals or
# else strings. The methods of the record kinds of records.json follow the record rules (below
# the table), and are not in it.
EXPECTED = """
method                        admin     reader    stranger  anonymous arguments
GetArchiveInfo                ok        ok        AV        401       $arcid
Query                         ok        ok        AV        401
QueryIndex                    ok        ok        AV        401
GetDocument                   ok        ok        AV        401       $guid ORIGINAL
GetCachedPage                 ok        ok        AV        401       $guid HTML
GetDocumentURL                ok        ok        AV        401       $guid
AddDocument                   ok        AV        AV        401
RemoveDocument                ok        AV        AV        401       $document
GetStatus                     ok        ok        AV        401
GetVersion                    ok        ok        AV        401
GetMinClientVersion           ok        ok        AV        401
GetCapabilities               caps=1111 caps=1000 caps=1000 401
NormalizeURL                  ok        ok        ok        401       HTTP://Example.org/
StartCrawl                    ok        AV        AV        401       $arcid
StopCrawl                     ok        AV        AV        401       $arcid
ReprocessDocuments            ok        AV        AV        401       $arcid
GetAvailableCrawlLogs         ok        ok        AV        401       $arcid
GetCrawlLog                   ok        ok        AV        401       $arcid 10 $crawl
GetQueryLog                   ok        ok        AV        401       $arcid 0 2147483647
AddUser                       ok        AV        AV        401
RemoveUser                    ok        AV        AV        401       victim
GetUserData                   ok        ok        AV        401       $reader
SetUserData                   ok        AV        AV        401       $stranger False []
SetUserPassword               ok        ok        AV        401       $reader $reader_password
AddGroup                      ok        AV        AV        401
RemoveGroup                   ok        AV        AV        401       victims
EnumUsersAndGroups            ok        ok        AV        401
GetRootACL                    ok        AV        AV        401       ROOTACL_CRAWLING
SetRootACL                    ok        AV        AV        401
EnumPluginDLLs                ok        ok        ok        401
GetRootRendererPipe           ok        ok        AV        401
SetRootRendererPipe           ok        AV        AV        401
"""

# The record methods: Add, Remove and Set write; Get reads; a listing leaves out what the caller
# may not read.
RECORD_RULES = {"Add": "ok AV AV 401", "Remove": "ok AV AV 401", "Set": "ok AV AV 401",
                "Get": "ok ok AV 401", "Enum": "ok ok hidden 401"}

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
            request = urllib.request.Request(self.url, data=envelope, method="POST",
                                             headers={"Content-Type": "text/xml; charset=utf-8"})
            try:
                with urllib.request.urlopen(request, timeout=60) as reply:
                    status = reply.status
            except urllib.error.HTTPError as e:
                status = e.code
            raise refused(str(status))

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

        def query(s, method="Query"):
            return getattr(s, method)(n("Query", Archives=[self.arcid], Parser="NETPARSER",
                                        QueryString="x"))

        def capabilities(s):
            c = s.GetCapabilities()
            return outcome("caps=" + "".join(str(int(bool(f))) for f in (
                c.historicize, c.admin, c.browsingwrite, c.crawlingwrite)))

        calls.update({
            "EnumPluginDLLs": lambda s: outcome("ok" if s.EnumPluginDLLs([]) else "none"),
            "SetRootRendererPipe": lambda s: s.SetRootRendererPipe(
                *values(a.GetRootRendererPipe())),
            "Query": query,
            "QueryIndex": lambda s: query(s, "QueryIndex"),
            "AddDocument": lambda s: s.AddDocument(self.arcid, "http://docs.example/new",
                                                   "text/html", "PGh0bWw+PC9odG1sPg=="),
            "GetCapabilities": capabilities,
            "AddUser": lambda s: s.AddUser("added%d" % next(self.added), "pw", False, []),
            "AddGroup": lambda s: s.AddGroup("added%d" % next(self.added)),
            "SetRootACL": lambda s: s.SetRootACL("ROOTACL_CRAWLING",
                                                 *values(a.GetRootACL("ROOTACL_CRAWLING"))),
        })
        return calls

    def test_every_method_allows_exactly_what_the_access_rules_allow(self):
        from suds import WebFault
        named = {"arcid": self.arcid, "guid": self.guid, "crawl": self.crawl,
                 "document": self.victims["Document"], "reader": READER, "stranger": STRANGER,
                 "reader_password": READER_PASSWORD}

        def argument(text):
            if text.startswith("$"):
                return named[text[1:]]
            try:
                return ast.literal_eval(text)
            except (ValueError, SyntaxError):
                return text

        expected, calls = {}, self.calls()
        for k in self.kinds:
            for verb, name in (("Add", k["kind"]), ("Remove", k["kind"]), ("Get", k["config"]),
                               ("Set", k["config"])):
                expected[verb + name] = dict(zip(ROLES, RECORD_RULES[verb].split()))
            if k["enum"]:
                expected[k["enum"][0]] = dict(zip(ROLES, RECORD_RULES["Enum"].split()))
        for line in EXPECTED.strip().splitlines()[1:]:
            method, *outcomes = line.split()
            expected[method] = dict(zip(ROLES, outcomes))
            args = [argument(a) for a in outcomes[len(ROLES):]]
            calls.setdefault(method, lambda s, m=method, args=args: getattr(s, m)(*args))
        self.assertEqual(set(calls), set(expected))
        writer = suds_client(self.daemon, ADMIN, ADMIN_PASSWORD, nosend=True)
        services = {
            "admin": self.admin.service,
            "reader": suds_client(self.daemon, READER, READER_PASSWORD).service,
            "stranger": suds_client(self.daemon, STRANGER, STRANGER_PASSWORD).service,
            "anonymous": anonymous_service(writer, self.daemon.url + "/soap"),
        }
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
