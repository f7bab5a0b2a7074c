# php_client_test.py: runs php_client_test.php (PHP's SoapClient) against a daemon of its own.
# SPDX-License-Identifier: MIT
import os
import subprocess
import sys
import unittest

from support import ADMIN, ADMIN_PASSWORD, HERE, Daemon


class php_client_test(unittest.TestCase):
    def test_php_soapclient_reads_and_writes_every_record_kind(self):
        daemon = Daemon(authenticated=True)
        try:
            run = subprocess.run(
                [os.environ.get("VANT_PHP", "php"), os.path.join(HERE, "php_client_test.php"),
                 daemon.url, ADMIN, ADMIN_PASSWORD],
                capture_output=True, text=True, timeout=600)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr + daemon.log())
        finally:
            daemon.stop()


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False, verbosity=2).result.wasSuccessful() else 1)
