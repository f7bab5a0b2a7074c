# support.py: what the SOAP client tests share: the installed daemon on a loopback port with a
# temporary data directory, a small web site on 127.0.0.1 for it to crawl, suds clients that read
# the WSDL the daemon serves, and the reading of the record table (records.json) both stacks run.
# SPDX-License-Identifier: MIT
import hashlib
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

# The build's deployment directory (bin/vantorelld, bin/vantorellctl, ...), set by CTest.
DEPLOY = os.environ.get("VANT_DEPLOY_DIR", "")
HERE = os.path.dirname(os.path.abspath(__file__))

ADMIN, ADMIN_PASSWORD = "admin", "s3cret"


def eventually(condition, seconds=120, what="a condition"):
    """Polls `condition` until it returns something true, and returns that."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("Timed out waiting for " + what)
        time.sleep(0.1)


class Daemon:
    """The installed daemon with a data directory of its own; `authenticated` sets the built-in
    administrator account (HTTP_USER), so that every request must log in."""

    def __init__(self, authenticated=False, extra=""):
        if not DEPLOY:
            raise unittest.SkipTest("VANT_DEPLOY_DIR is not set (run the test through CTest)")
        self.dir = tempfile.mkdtemp(prefix="vant-soapclients-")
        self.conf = os.path.join(self.dir, "vantorell.conf")
        os.mkdir(os.path.join(self.dir, "data"))
        auth = ""
        if authenticated:
            auth = "HTTP_USER=%s\nHTTP_MD5PASS=%s\n" % (
                ADMIN, hashlib.md5(ADMIN_PASSWORD.encode()).hexdigest())
        # Port 0: the system picks a free port, which the daemon's log names.
        with open(self.conf, "w") as f:
            f.write("DATADIR=%s/data\nDEPLOYDIR=%s\nHTTP_PORT=127.0.0.1:0\n"
                    "LOGCFG=LOG:INFO API:INFO\nSyncLevel=0\nWORKERS=2\nThrottling=0\n"
                    "MINFREEDISK=0\nFlushLatency=1\n%s%s" % (self.dir, DEPLOY, auth, extra))
        self.env = dict(os.environ, MARLOVEN_CONFIG_FILE=self.conf)
        self.err = open(os.path.join(self.dir, "daemon.err"), "w")
        self.process = subprocess.Popen([os.path.join(DEPLOY, "bin", "vantorelld")], env=self.env,
                                        stdout=self.err, stderr=self.err)

        def listening():
            if self.process.poll() is not None:
                raise AssertionError("The daemon ended at start: " + self.log("daemon.err"))
            return re.search(r"HTTP server listening on \S+ \(port (\d+)", self.log())

        self.port = int(eventually(listening, 60, "the daemon to listen").group(1))
        self.url = "http://127.0.0.1:%d" % self.port

    def log(self, name="data/vantorell.log"):
        try:
            with open(os.path.join(self.dir, name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        """Stops the daemon, which must end by itself with status 0, and removes its files."""
        self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(120)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = "(killed)"
        self.err.close()
        log = self.log("daemon.err")
        shutil.rmtree(self.dir, ignore_errors=True)
        if status != 0:
            raise AssertionError("The daemon ended with %s: %s" % (status, log))


class Site:
    """A web site on 127.0.0.1 (port of the system's choice): `pages` maps paths to HTML texts.
    A request for /slow waits until release() (or a minute), so that a crawl of it stays running;
    every request is counted in `requests`."""

    def __init__(self, pages):
        self.pages = pages
        self.requests = []
        self.released = threading.Event()
        site = self

        class handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                site.requests.append(self.path)
                if self.path == "/slow":
                    site.released.wait(60)
                body = site.pages.get(self.path)
                if body is None:
                    self.send_error(404)
                    return
                data = body.encode()
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.server.daemon_threads = True
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def release(self):
        self.released.set()

    def stop(self):
        self.release()
        self.server.shutdown()
        self.server.server_close()


def page(title, text, links=()):
    return ("<html><head><title>%s</title></head><body><p>%s</p>%s</body></html>"
            % (title, text, "".join('<a href="%s">%s</a>' % (l, l) for l in links)))


def suds_client(daemon, user=None, password=None, **options):
    """A suds client built from the WSDL that `daemon` serves; with a user, every request
    carries Basic credentials. `options` are further suds options."""
    from suds.client import Client
    from suds.transport.https import HttpAuthenticated
    options.update(cache=None, timeout=120)
    if user is not None:
        options["transport"] = HttpAuthenticated(username=user, password=password)
    return Client(daemon.url + "/wsdl", **options)


# The record types of the fields of records.json whose values are records or lists of records.
NESTED = {"ACL": "AccessSpec", "CookieParams": "CookieAuthParams", "Params": "CookieParam",
          "ParamValues": "ParamValue"}


def record_kinds():
    """The rows of records.json, in the order their records are made."""
    with open(os.path.join(HERE, "records.json")) as f:
        return json.load(f)["kinds"]


def fill(client, target, fields):
    """Sets `fields` (plain values of records.json, ids resolved) on the suds record `target`, or
    on a new record when `target` names its type; returns the record."""
    def sent(name, value):
        if isinstance(value, list):
            return [sent(name, v) for v in value]
        return fill(client, NESTED[name], value) if isinstance(value, dict) else value

    record = client.factory.create(target) if isinstance(target, str) else target
    for name, value in fields.items():
        setattr(record, name, sent(name, value))
    return record


def resolved(value, ids):
    """A value of records.json with each "$Kind" replaced by the id of that kind's record."""
    text = json.dumps(value)
    for kind, rid in ids.items():
        text = text.replace('"$%s"' % kind, str(rid))
    return json.loads(text)
