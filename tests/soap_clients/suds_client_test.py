# suds_client_test.py: the daemon driven through Python's suds, a SOAP stack that reads the WSDL
# the daemon serves: every record kind of records.json round trips with its stamp. (Crawls, logs,
# queries and documents go end to end through vantorellctl; the rules behind each fault are the
# API's tests.)
# SPDX-License-Identifier: MIT
import sys
import unittest

from support import (ADMIN, ADMIN_PASSWORD, Daemon, fill, matches, plain, record_kinds, resolved,
                     suds_client)


class suds_client_test(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.daemon = Daemon(authenticated=True)
        cls.client = suds_client(cls.daemon, ADMIN, ADMIN_PASSWORD)
        cls.soap = cls.client.service

    @classmethod
    def tearDownClass(cls):
        cls.daemon.stop()

    def test_every_record_kind_round_trips_with_its_stamp(self):
        s, ids, kinds = self.soap, {}, record_kinds()

        def listed(k, rid):
            """The stamp of the listing's row of record `rid` (None when it is not listed)."""
            method, args, field = k["enum"]
            return {getattr(i, field): i.Magic for i in getattr(s, method)(*args) or []}.get(rid)

        for k in kinds:
            get, put = getattr(s, "Get" + k["config"]), getattr(s, "Set" + k["config"])
            el = k["element"]
            cfg = fill(self.client, k["config"], resolved(k["add"], ids))
            added = getattr(s, "Add" + k["kind"])(cfg)
            rid = getattr(added, k["info_id"]) if k["info_id"] else added
            self.assertGreater(rid, 0, k["kind"])
            got = get(rid)
            self.assertTrue(matches(resolved(k["add"], ids), plain(got[el])), plain(got[el]))
            put(rid, fill(self.client, got[el], resolved(k["change"], ids)), got.magic)
            after = get(rid)
            want = resolved(dict(k["add"], **k["change"]), ids)
            self.assertTrue(matches(want, plain(after[el])), plain(after[el]))
            self.assertNotEqual(after.magic, got.magic, k["kind"])
            if k["enum"]:
                self.assertEqual(listed(k, rid), after.magic, k["kind"])
            ids[k["kind"]] = rid


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False, verbosity=2).result.wasSuccessful() else 1)
