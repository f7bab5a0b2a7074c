# vantorellctl_test.py: the administration command against the installed daemon: a session that
# sets up a source, an archive and a collection, crawls a local site with the live progress line,
# reads the crawl log, searches and fetches a page; changes that the daemon keeps; users and
# groups with password files; --xml replies; and exit status 1 with the reason on standard error.
# SPDX-License-Identifier: MIT
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

from support import ADMIN, ADMIN_PASSWORD, DEPLOY, Daemon, Site, page, suds_client

PAGES = {
    "/": page("Orchard", "Apples and pears of the valley", ["/a.html", "/b.html"]),
    "/a.html": page("Apples", "Apples ripen in late summer"),
    "/b.html": page("Pears", "Pears keep through the winter"),
}
SOAP_ENV = "{http://schemas.xmlsoap.org/soap/envelope/}"


class vantorellctl_test(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.site = Site(PAGES)
        cls.daemon = Daemon(authenticated=True)
        cls.files = tempfile.mkdtemp(prefix="vant-ctl-")
        cls.admin_password = cls.secret("admin", ADMIN_PASSWORD)

    @classmethod
    def tearDownClass(cls):
        cls.site.stop()
        cls.daemon.stop()
        shutil.rmtree(cls.files, ignore_errors=True)

    @classmethod
    def secret(cls, name, text):
        path = os.path.join(cls.files, name)
        with open(path, "w") as f:
            f.write(text + "\n")
        return path

    def ctl(self, *args, user=ADMIN, password_file=None, expect=0):
        """Runs vantorellctl with the daemon and credentials in its environment; returns its
        standard output, after checking its exit status (and, for a failure, that standard
        error says why)."""
        env = dict(os.environ, VANTORELL_URL=self.daemon.url, VANTORELL_USER=user or "",
                   VANTORELL_PASSWORD_FILE=password_file or self.admin_password)
        run = subprocess.run([os.path.join(DEPLOY, "bin", "vantorellctl"), *args], env=env,
                             capture_output=True, text=True, timeout=300)
        self.assertEqual(run.returncode, expect, "%s: %s%s" % (args, run.stdout, run.stderr))
        if expect != 0:
            self.assertEqual(run.stdout, "")
            return run.stderr
        return run.stdout

    def added(self, *args):
        out = self.ctl(*args)
        m = re.fullmatch(r"Added \w+ (\d+)\n", out)
        self.assertIsNotNone(m, out)
        return m.group(1)

    def test_a_session_sets_up_and_crawls_a_site(self):
        source = self.added("source", "add", "--name", "orchard", "--seed", self.site.url + "/")
        archive = self.added("archive", "add", "--name", "orchard daily", "--source", source,
                             "--frequency", "daily", "--attribute", "1", "--hour", "3")
        collection = self.added("collection", "add", "--name", "fruit", "--archive", archive)
        self.assertIn("fruit", self.ctl("collection", "list"))

        out = self.ctl("crawl", "start", archive, "--wait")
        # At least one progress line (the first comes a second after the start), then the end.
        self.assertRegex(out, r"\n\d+ pages fetched, \d+ errors, \d+ queued, [0-9.]+ pages/s\n")
        self.assertRegex(out, r"Archive %s: crawl of .* ended after \d+ s: 3 pages, 0 errors\n$"
                         % archive)
        log = self.ctl("crawl", "log", archive, "--limit", "2", "--all")
        for path in PAGES:
            self.assertRegex(log, r"NONE +%s +[0-9a-f]{32}\n" % re.escape(self.site.url + path))
        row = re.search(r"(?m)^\S+ \S+ +NONE +%s +([0-9a-f]{32})$"
                        % re.escape(self.site.url + "/a.html"), log)

        hits = self.ctl("query", "--collection", collection, "ripen")
        self.assertRegex(hits, r"^1 hits, 1 to 1\n")
        self.assertIn("Apples", hits)
        self.assertEqual(self.ctl("document", "get", row.group(1)), PAGES["/a.html"])
        self.assertRegex(self.ctl("status"), r"Platform: number of documents +3\n")

    def test_change_keeps_what_is_not_named_and_remove_removes(self):
        source = self.added("source", "add", "--name", "first", "--seed", "http://a.invalid/",
                            "--depth", "3")
        self.assertEqual(self.ctl("source", "change", source, "--name", "second", "--exclude",
                                  r"\.pdf$", "--acl", "staff:read"), "Changed source %s\n" % source)
        cfg = suds_client(self.daemon, ADMIN, ADMIN_PASSWORD).service.GetSourceConfiguration(
            int(source)).cfg
        self.assertEqual((cfg.Name, cfg.DepthLimit, list(cfg.Seeds), list(cfg.ExcludeFilters)),
                         ("second", 3, ["http://a.invalid/"], [r"\.pdf$"]))
        # The include filter that add derived from the seed stays.
        self.assertEqual(list(cfg.IncludeFilters), [r"^[a-z]+://a\.invalid(:[0-9]+)?(/|$)"])
        self.assertEqual([(a.Name, a.Access, a.Deny) for a in cfg.ACL], [("staff", False, False)])
        self.assertRegex(self.ctl("source", "show", source), r"ACL +staff:read\n")
        self.ctl("source", "remove", source)
        self.assertNotRegex(self.ctl("source", "list"), r"(?m)^%s " % source)

    def test_users_and_groups(self):
        self.ctl("group", "add", "editors")
        password = self.secret("carol", "carol's pass")
        self.ctl("user", "add", "carol", "--new-password-file", password, "--group", "editors")
        self.assertRegex(self.ctl("group", "show", "editors"), r"Members +carol\n")
        # The new user logs in with the password of the file (a wrong one gets 401), but only an
        # administrator or a user the root lists may read the version.
        self.assertIn("AccessViolation",
                      self.ctl("version", user="carol", password_file=password, expect=1))
        self.ctl("user", "change", "carol", "--admin")
        self.assertIn("Server version", self.ctl("version", user="carol", password_file=password))
        self.ctl("group", "change", "editors", "--remove-user", "carol")
        self.assertRegex(self.ctl("user", "list"), r"(?m)^carol +yes *$")
        self.ctl("user", "remove", "carol")
        self.ctl("group", "remove", "editors")
        self.assertNotIn("carol", self.ctl("user", "list"))

    def test_xml_prints_the_reply(self):
        body = ET.fromstring(self.ctl("group", "list", "--xml")).find(SOAP_ENV + "Body")
        self.assertEqual(body[0].tag,
                         "{http://marloven.invalid/search/}EnumUsersAndGroupsResponse")

    def test_failures_exit_1_with_the_reason(self):
        nobody = self.secret("nobody", "nothing")
        self.ctl("user", "add", "dave", "--new-password-file", nobody)
        self.addCleanup(self.ctl, "user", "remove", "dave")
        cases = [
            (("status",), dict(password_file=self.secret("wrong", "wrong")),
             "refused the credentials (401"),
            (("source", "add", "--name", "x"), dict(user="dave", password_file=nobody),
             "AccessViolation"),
            (("status", "--password", ADMIN_PASSWORD), {}, "Unknown option --password"),
            (("status",), dict(password_file=os.path.join(self.files, "none")),
             "Cannot read the password file"),
            (("archive", "add", "--frequency", "yearly"), {}, "Unknown --frequency 'yearly'"),
            (("source", "show", "x1"), {}, "Not a number"),
            (("frobnicate",), {}, "Unknown command 'frobnicate'"),
        ]
        for args, options, reason in cases:
            with self.subTest(args=args):
                err = self.ctl(*args, expect=1, **options)
                self.assertTrue(err.startswith("vantorellctl: ") and reason in err, err)


if __name__ == "__main__":
    unittest.main()
