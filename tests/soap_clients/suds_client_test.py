# suds_client_test.py: the daemon driven through Python's suds, a SOAP stack that reads the WSDL
# the daemon serves: records added, read, changed (with their stamp, and refused with a stale
# one), listed and removed; a crawl of a local site with its paged crawl log, queries with each
# parser and the stored pages in their three forms; users and groups; status and version.
# SPDX-License-Identifier: MIT
import re
import sys
import unittest
import xml.etree.ElementTree as ET

import methods
from support import (ADMIN, ADMIN_PASSWORD, Daemon, Recorder, Site, decoded, eventually,
                     fault_text, fetch, page, suds_client)

WSDL_NS = "{http://schemas.xmlsoap.org/wsdl/}"

PAGES = {
    "/": page("Airship index", "Airships of the lake", ["/a.html", "/b.html", "/c.html",
                                                        "/missing.html"]),
    "/a.html": page("Zeppelins", "Zeppelins float over the lake at dawn", ["/d.html"]),
    "/b.html": page("Balloons", "Hydrogen balloons rise above the meadow"),
    "/c.html": page("Blimps", "Blimps carry advertising over the stadium"),
    "/d.html": page("Dirigibles", "Dirigibles were steered zeppelins of another age"),
    "/slow": page("Slow", "A page that keeps its crawl running"),
}


def urls(items):
    return sorted(str(i.Url) for i in items or [])


class suds_client_test(unittest.TestCase):
    called = set()

    @classmethod
    def setUpClass(cls):
        cls.site = Site(PAGES)
        cls.daemon = Daemon(authenticated=True)
        cls.client = suds_client(cls.daemon, ADMIN, ADMIN_PASSWORD)
        cls.soap = Recorder(cls.client, cls.called)

    @classmethod
    def tearDownClass(cls):
        cls.site.stop()
        cls.daemon.stop()

    def new(self, type_name, **fields):
        value = self.client.factory.create(type_name)
        for name, v in fields.items():
            setattr(value, name, v)
        return value

    def acl(self, *entries):
        return [self.new("AccessSpec", Name=n, Access=w, Deny=d) for n, w, d in entries]

    # ---- records -------------------------------------------------------------------------------

    def round_trip(self, kind, add_cfg, change, check_changed):
        """Add, Get, Set with the stamp, Set with a stale stamp (BadMagic, nothing changed), Enum
        and Remove of one record kind; returns nothing, the record is gone at the end."""
        s = self.soap
        config = kind + "Configuration"
        info = getattr(s, "Add" + kind)(add_cfg)
        rid = getattr(info, kind)
        self.assertGreater(rid, 0)
        self.assertEqual(info.Configuration.Name, add_cfg.Name)
        self.assertFalse(info.ReadOnly)

        got = getattr(s, "Get" + config)(rid)
        self.assertEqual(got.cfg.Name, add_cfg.Name)
        self.assertEqual(got.magic, info.Magic)

        change(got.cfg)
        changed = getattr(s, "Set" + config)(rid, got.cfg, got.magic)
        check_changed(changed.Configuration)
        self.assertNotEqual(changed.Magic, got.magic)
        # The stamp read before the change is stale now.
        stale = got.cfg
        stale.Name = "lost update"
        self.assertEqual(fault_text(getattr(s, "Set" + config), rid, stale, got.magic), "BadMagic")
        again = getattr(s, "Get" + config)(rid)
        check_changed(again.cfg)
        self.assertEqual(again.magic, changed.Magic)

        listed = {getattr(i, kind): i for i in getattr(s, "Enum" + config + "s")()}
        self.assertIn(rid, listed)
        self.assertEqual(listed[rid].Magic, changed.Magic)
        return rid

    def test_records_round_trip_with_their_stamps(self):
        s = self.soap
        source = self.new("SourceConfiguration", Name="records", Seeds=["http://127.0.0.1:9/"],
                          IncludeFilters=["^http://127\\.0\\.0\\.1:9/"], DepthLimit=3,
                          CheckRobotsTxt=False,
                          ACL=self.acl(("editors", True, False), ("All Users", False, True)))

        def change_source(cfg):
            cfg.Seeds = ["http://127.0.0.1:9/a", "http://127.0.0.1:9/b"]
            cfg.ExcludeFilters = ["\\.pdf$"]
            cfg.Type = "AUTH_COOKIE"
            cfg.CookieParams = self.new(
                "CookieAuthParams", Url="http://127.0.0.1:9/login", Action="POST",
                Freshness=600, PreUrls=["http://127.0.0.1:9/"],
                Params=[self.new("CookieParam", Name="user", Value="ann", Type="USERNAME")])

        def source_changed(cfg):
            self.assertEqual(list(cfg.Seeds), ["http://127.0.0.1:9/a", "http://127.0.0.1:9/b"])
            self.assertEqual(list(cfg.ExcludeFilters), ["\\.pdf$"])
            self.assertEqual(cfg.DepthLimit, 3)
            self.assertFalse(cfg.CheckRobotsTxt)
            self.assertEqual(cfg.Type, "AUTH_COOKIE")
            self.assertEqual(cfg.CookieParams.Action, "POST")
            self.assertEqual(cfg.CookieParams.Freshness, 600)
            self.assertEqual([(p.Name, p.Value, p.Type) for p in cfg.CookieParams.Params],
                             [("user", "ann", "USERNAME")])
            self.assertEqual([(a.Name, a.Access, a.Deny) for a in cfg.ACL],
                             [("editors", True, False), ("All Users", False, True)])

        source_id = self.round_trip("Source", source, change_source, source_changed)

        archive = self.new("ArchiveConfiguration", Name="records daily", Source=source_id,
                           SchedulingFrequency="DAILY", SchedulingAttribute=1, AccessTime=3,
                           DocumentCache="CONTEXTCACHE", Historicize=True)

        def change_archive(cfg):
            cfg.SchedulingFrequency = "WEEKLY"
            cfg.SchedulingAttribute = 2
            cfg.PagesLimit = 500

        def archive_changed(cfg):
            self.assertEqual((cfg.SchedulingFrequency, cfg.SchedulingAttribute, cfg.AccessTime),
                             ("WEEKLY", 2, 3))
            self.assertEqual((cfg.PagesLimit, cfg.DocumentCache, cfg.Historicize),
                             (500, "CONTEXTCACHE", True))
            self.assertEqual(cfg.Source, source_id)

        archive_id = self.round_trip("Archive", archive, change_archive, archive_changed)
        info = s.GetArchiveInfo(archive_id)
        self.assertEqual((info.Archive, info.Crawling, info.Documents), (archive_id, False, 0))
        self.assertGreater(info.NextRun, 0)  # weekly on Tuesdays at 03:00

        collection = self.new("CollectionConfiguration", Name="Tax & Law <2>",
                              Archives=[archive_id])

        def change_collection(cfg):
            cfg.Description = "Everything \"quoted\" & more"

        def collection_changed(cfg):
            self.assertEqual(cfg.Name, "Tax & Law <2>")
            self.assertEqual(cfg.Description, "Everything \"quoted\" & more")
            self.assertEqual(list(cfg.Archives), [archive_id])

        collection_id = self.round_trip("Collection", collection, change_collection,
                                        collection_changed)

        # A record named by another stays; removed, it is gone from Get and Enum.
        for method, rid in (("RemoveArchive", archive_id), ("RemoveSource", source_id)):
            self.assertEqual(fault_text(getattr(s, method), rid), "InUse")
        for kind, rid in (("Collection", collection_id), ("Archive", archive_id),
                          ("Source", source_id)):
            getattr(s, "Remove" + kind)(rid)
            config = kind + "Configuration"
            self.assertEqual(fault_text(getattr(s, "Get" + config), rid), "AccessViolation")
            self.assertNotIn(rid, [getattr(i, kind) for i in getattr(s, "Enum" + config + "s")()])

    # ---- users and groups ----------------------------------------------------------------------

    def test_users_and_groups(self):
        s = self.soap
        s.AddGroup("editors")
        s.AddUser("ed", "first", False, ["editors"])
        listed = s.EnumUsersAndGroups()
        self.assertIn("ed", listed.users)
        self.assertEqual(list(listed.builtinusers), [ADMIN, "Anonymous"])
        self.assertIn("editors", listed.groups)
        self.assertEqual(list(listed.builtingroups), ["All Users"])
        data = s.GetUserData("ed")
        self.assertEqual((data.admin, list(data.groups)), (False, ["editors"]))

        s.SetUserData("ed", True, [])
        data = s.GetUserData("ed")
        self.assertEqual((data.admin, list(data.groups or [])), (True, []))

        # The new password logs in, the old one no longer does.
        s.SetUserPassword("ed", "second")
        self.assertTrue(suds_client(self.daemon, "ed", "second").service.GetCapabilities().admin)
        with self.assertRaises(Exception) as refused:
            suds_client(self.daemon, "ed", "first")
        self.assertIn("401", str(refused.exception))

        s.RemoveUser("ed")
        s.RemoveGroup("editors")
        listed = s.EnumUsersAndGroups()
        self.assertNotIn("ed", listed.users or [])
        self.assertNotIn("editors", listed.groups or [])

    # ---- the server ----------------------------------------------------------------------------

    def test_status_and_version(self):
        self.assertEqual(self.soap.GetVersion(), "2.0.2.1010")
        status = self.soap.GetStatus()
        self.assertEqual(status.status, "RUNNING")
        pairs = [(p.Key, p.Value) for p in status.extendedstatus]
        self.assertEqual([k for k, _ in pairs][:4], [
            "Platform: number of documents", "Platform: size of documents",
            "Platform: number of archives", "Platform: free disk space (MB)"])
        self.assertTrue(all(re.fullmatch("[0-9]+", v) for _, v in pairs), pairs)

    # ---- a crawl, its log, queries and documents -----------------------------------------------

    def site_archive(self, name, seed):
        s = self.soap
        source = s.AddSource(self.new(
            "SourceConfiguration", Name=name, Seeds=[seed],
            IncludeFilters=["^" + re.escape(self.site.url) + "/"], CheckRobotsTxt=True))
        return s.AddArchive(self.new("ArchiveConfiguration", Name=name,
                                     Source=source.Source)).Archive

    def test_crawl_of_a_site_is_logged_searched_and_its_pages_read(self):
        s = self.soap
        arcid = self.site_archive("site", self.site.url + "/")
        started = s.StartCrawl(arcid)
        self.assertTrue(started.Crawling)
        self.assertGreater(started.LastRunStart, 0)
        done = eventually(lambda: (lambda i: None if i.Crawling else i)(s.GetArchiveInfo(arcid)),
                          what="the crawl to end")
        self.assertGreaterEqual(done.LastRunEnd, done.LastRunStart)

        logs = s.GetAvailableCrawlLogs(arcid)
        self.assertEqual([l.Time for l in logs], [started.LastRunStart])
        # The log read two entries at a time: the cookie moves on, and the log's end returns no
        # data element.
        log, rows, pages = logs[0], [], 0
        while True:
            reply = s.GetCrawlLog(arcid, 2, log)
            self.assertEqual(reply.log.Time, started.LastRunStart)
            data = getattr(reply, "data", None) or []
            self.assertLessEqual(len(data), 2)
            rows += data
            pages += 1
            if not data:
                break
            log = reply.log
            self.assertLess(pages, 20)
        expected = {self.site.url + p: "NONE" for p in
                    ("/", "/a.html", "/b.html", "/c.html", "/d.html")}
        expected[self.site.url + "/missing.html"] = "NOTFOUND"
        self.assertEqual({str(r.Url): str(r.Error) for r in rows if "robots" not in r.Url},
                         expected)
        self.assertEqual(len([r for r in rows if "robots" not in r.Url]), len(expected))

        # One query with each parser; QueryIndex answers as Query does.
        def query(parser, text=None, atoms=None):
            q = self.new("Query", Archives=[arcid], FirstDoc=0, LastDoc=9, Info="INFO_TITLE",
                         Sort="SORT_STANDARD", Parser=parser)
            if text is not None:
                q.QueryString = text
            if atoms is not None:
                q.Query = [self.new("QueryAtom", Type=t, Param=p) for t, p in atoms]
            return q

        zeppelin_pages = [self.site.url + "/a.html", self.site.url + "/d.html"]
        cases = [
            (query("NOPARSER", atoms=[("ATOM_WORD", "zeppelins")]), zeppelin_pages),
            (query("RPNPARSER", "WORD:zeppelins WORD:lake AND:2"), zeppelin_pages[:1]),
            (query("ALGPARSER", "zeppelins & !lake"), zeppelin_pages[1:]),
            (query("NETPARSER", "hydrogen balloons"), [self.site.url + "/b.html"]),
        ]
        for q, expected_urls in cases:
            found = eventually(lambda: (lambda r: r if r.maxresults == len(expected_urls) else
                                        None)(s.Query(q)), 60, "hits for " + q.Parser)
            self.assertEqual(urls(found.results), expected_urls, q.Parser)
            self.assertEqual(str(s.QueryIndex(q)), str(found), q.Parser)
        self.assertEqual(fault_text(s.Query, query("ALGPARSER", "(zeppelins")), "BadQuery")

        hit = s.Query(query("NETPARSER", "hydrogen")).results[0]
        self.assertEqual(hit.Title, "Balloons")
        original = s.GetDocument(hit.ID, "ORIGINAL")
        self.assertEqual(original.url, self.site.url + "/b.html")
        self.assertEqual(original.type, "text/html; charset=utf-8")
        self.assertEqual(decoded(original.content).decode(), PAGES["/b.html"])
        parsed = s.GetDocument(hit.ID, "PARSED")
        self.assertEqual(parsed.type, "application/vnd.marloven-fff; charset=UTF-8")
        self.assertIn(b"Hydrogen", decoded(parsed.content))
        html = s.GetDocument(hit.ID, "HTML")
        self.assertEqual(html.type, "text/html; charset=UTF-8")
        self.assertIn(b"Hydrogen", decoded(html.content))
        for form in ("ORIGINAL", "PARSED", "HTML"):
            self.assertEqual(str(s.GetCachedPage(hit.ID, form)), str(s.GetDocument(hit.ID, form)))

    def test_stop_crawl_ends_a_running_crawl(self):
        s = self.soap
        arcid = self.site_archive("slow", self.site.url + "/slow")
        try:
            self.assertTrue(s.StartCrawl(arcid).Crawling)
            eventually(lambda: "/slow" in self.site.requests, 60, "the slow page's fetch")
            stopped = s.StopCrawl(arcid)
            self.assertFalse(stopped.Crawling)
            self.assertGreaterEqual(stopped.LastRunEnd, stopped.LastRunStart)
            self.assertFalse(s.GetArchiveInfo(arcid).Crawling)
            # A stopped archive is left as it is.
            self.assertEqual(s.StopCrawl(arcid).LastRunEnd, stopped.LastRunEnd)
        finally:
            self.site.release()

    # ---- the method table ----------------------------------------------------------------------

    def test_the_two_stacks_cover_every_method_of_the_served_wsdl(self):
        self.assertEqual(methods.SUDS & methods.PHP, set())
        wsdl = ET.fromstring(fetch(self.daemon.url + "/wsdl", ADMIN, ADMIN_PASSWORD))
        operations = {op.get("name") for op in wsdl.iter(WSDL_NS + "operation")}
        self.assertEqual(len(operations), 71)
        self.assertEqual(methods.SUDS | methods.PHP, operations)


if __name__ == "__main__":
    program = unittest.main(exit=False, verbosity=2)
    result = program.result
    # Every method this stack stands for was called (only meaningful after the whole class ran).
    whole = unittest.defaultTestLoader.loadTestsFromTestCase(suds_client_test).countTestCases()
    if result.wasSuccessful() and result.testsRun == whole:
        missing = methods.SUDS - suds_client_test.called
        if missing:
            print("Methods of the suds set never called: " + ", ".join(sorted(missing)))
            sys.exit(1)
    sys.exit(0 if result.wasSuccessful() else 1)
