# suds_client_test.py: the daemon driven through Python's suds, a SOAP stack that reads the WSDL
# the daemon serves: a crawl of a local site with its crawl log, queries and a stored page; a crawl
# stopped; a password change; and PHP's SoapClient running php_client_test.php against the same
# daemon, which round trips every record kind of records.json (the access matrix makes each kind
# through suds).
# SPDX-License-Identifier: MIT
import base64
import os
import re
import subprocess
import sys
import unittest

from support import ADMIN, ADMIN_PASSWORD, HERE, Daemon, Site, eventually, fill, page, suds_client

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
    @classmethod
    def setUpClass(cls):
        cls.site = Site(PAGES)
        cls.daemon = Daemon(authenticated=True)
        cls.client = suds_client(cls.daemon, ADMIN, ADMIN_PASSWORD)
        cls.soap = cls.client.service

    @classmethod
    def tearDownClass(cls):
        cls.site.stop()
        cls.daemon.stop()

    def new(self, type_name, **fields):
        return fill(self.client, type_name, fields)

    def test_php_soapclient_round_trips_the_same_records(self):
        """PHP's SoapClient maps SOAP arrays to PHP arrays and records to objects: the record
        table, root access lists and the renderer pipe, and a document added by it."""
        run = subprocess.run(
            [os.environ.get("VANT_PHP", "php"), os.path.join(HERE, "php_client_test.php"),
             self.daemon.url, ADMIN, ADMIN_PASSWORD],
            capture_output=True, text=True, timeout=600)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr + self.daemon.log())

    # ---- users and groups ----------------------------------------------------------------------

    def test_a_changed_password_logs_in_and_the_old_one_no_longer(self):
        s = self.soap
        s.AddUser("ed", "first", True, [])
        # (What the store then holds is the API's test; here the running daemon's logins follow.)
        s.SetUserPassword("ed", "second")
        self.assertTrue(suds_client(self.daemon, "ed", "second").service.GetCapabilities().admin)
        with self.assertRaises(Exception) as refused:
            suds_client(self.daemon, "ed", "first")
        self.assertIn("401", str(refused.exception))
        s.RemoveUser("ed")

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

        # (Paging through the log with its cursor is vantorellctl's "crawl log --all".)
        log = s.GetAvailableCrawlLogs(arcid)[0]
        self.assertEqual(log.Time, started.LastRunStart)
        rows = [r for r in s.GetCrawlLog(arcid, 100, log).data if "robots" not in r.Url]
        expected = {self.site.url + p: "NONE" for p in
                    ("/", "/a.html", "/b.html", "/c.html", "/d.html")}
        expected[self.site.url + "/missing.html"] = "NOTFOUND"
        self.assertEqual({str(r.Url): str(r.Error) for r in rows}, expected)
        self.assertEqual(len(rows), len(expected))

        def query(parser, text=None, atoms=None):
            q = self.new("Query", Archives=[arcid], FirstDoc=0, LastDoc=9, Info="INFO_TITLE",
                         Sort="SORT_STANDARD", Parser=parser)
            if text is not None:
                q.QueryString = text
            if atoms is not None:
                q.Query = [self.new("QueryAtom", Type=t, Param=p) for t, p in atoms]
            return q

        # The atoms of a query without parser are an array of records; QueryIndex answers as
        # Query does.
        zeppelin_pages = [self.site.url + "/a.html", self.site.url + "/d.html"]
        cases = [
            (query("NOPARSER", atoms=[("ATOM_WORD", "zeppelins")]), zeppelin_pages),
            (query("NETPARSER", "hydrogen balloons"), [self.site.url + "/b.html"]),
        ]
        for q, expected_urls in cases:
            found = eventually(lambda: (lambda r: r if r.maxresults == len(expected_urls) else
                                        None)(s.Query(q)), 60, "hits for " + q.Parser)
            self.assertEqual(urls(found.results), expected_urls, q.Parser)
            self.assertEqual(str(s.QueryIndex(q)), str(found), q.Parser)

        hit = s.Query(query("NETPARSER", "hydrogen")).results[0]
        self.assertEqual(hit.Title, "Balloons")
        original = s.GetDocument(hit.ID, "ORIGINAL")
        self.assertEqual((original.url, original.type),
                         (self.site.url + "/b.html", "text/html; charset=utf-8"))
        # (suds leaves base64Binary results as the text sent)
        self.assertEqual(base64.b64decode(original.content).decode(), PAGES["/b.html"])
        self.assertEqual(str(s.GetCachedPage(hit.ID, "ORIGINAL")), str(original))

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
        finally:
            self.site.release()


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False, verbosity=2).result.wasSuccessful() else 1)
