# php_client_test.py: runs php_client_test.php (PHP's SoapClient) against a daemon of its own and
# checks that it passed and called every method the method table gives to PHP.
# SPDX-License-Identifier: MIT
import json
import os
import subprocess
import sys
import unittest

import methods
from support import ADMIN, ADMIN_PASSWORD, HERE, Daemon


class php_client_test(unittest.TestCase):
    def test_php_soapclient_proves_its_methods(self):
        daemon = Daemon(authenticated=True)
        try:
            called_file = os.path.join(daemon.dir, "called.json")
            run = subprocess.run(
                [os.environ.get("VANT_PHP", "php"), os.path.join(HERE, "php_client_test.php"),
                 daemon.url, ADMIN, ADMIN_PASSWORD, called_file],
                capture_output=True, text=True, timeout=600)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr + daemon.log())
            with open(called_file) as f:
                called = set(json.load(f))
        finally:
            daemon.stop()
        self.assertEqual(methods.PHP - called, set(), "methods of the PHP set never called")


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False, verbosity=2).result.wasSuccessful() else 1)
