#!/usr/bin/env python3
# seed_archive.py: writes the configuration of one crawl as files for the daemon's /import command
# (a source with the seed and an include filter, a daily archive of it, a collection with the
# archive, all readable by everybody, all with id 1), and start.sql, the statements that start
# the archive's first crawl the way the StartCrawl operation does (a running crawl row, the seed
# queued with priority 0) for a database that /import has created.
# Usage: seed_archive.py SEED_URL OUTPUT_DIR [URL_PREFIX [MORE_SEED_URL...]]
#   URL_PREFIX: the crawl keeps to URLs that begin with it (default: the seed's scheme and host).
#   MORE_SEED_URL: further seeds of the same source (on the same host).
# SPDX-License-Identifier: MIT
import re
import sys
import time
import urllib.parse
from xml.sax.saxutils import quoteattr

out = sys.argv[2]


def seed_url(seed):
    """The seed as the queue keys it (normalised), and its host without the port."""
    parts = urllib.parse.urlsplit(seed if "://" in seed else "http://" + seed)
    if not parts.hostname:
        sys.exit("Not a URL: " + seed)
    scheme = parts.scheme.lower()
    default_port = {"http": 80, "https": 443}.get(scheme)
    netloc = parts.hostname + (":%d" % parts.port if parts.port and parts.port != default_port else "")
    return urllib.parse.urlunsplit((scheme, netloc, parts.path or "/", parts.query, "")), parts.hostname


seeds = [seed_url(sys.argv[1])] + [seed_url(s) for s in sys.argv[4:]]
url, host = seeds[0]


def escaped(text):
    return re.sub(r"([.^$*+?()\[\]{}|\\])", r"\\\1", text)


# Include filters are case-insensitive POSIX extended expressions matched anywhere in the URL.
if len(sys.argv) > 3:
    include = "^" + escaped(sys.argv[3])
else:
    include = "^[a-z]+://" + escaped(host) + "(:[0-9]+)?(/|$)"

everybody = '\t<acl name="All Users" access="read" deny="false"/>\n'
head = '<?xml version="1.0" encoding="UTF-8"?>\n'
files = {
    "SourceConfiguration-1.xml":
        head + "<source name=%s description=%s>\n" % (quoteattr(host), quoteattr("Pages of " + host))
        + "".join("\t<seed url=%s/>\n" % quoteattr(u) for u, _ in seeds)
        + '\t<filter type="include" url=%s/>\n' % quoteattr(include)
        + '\t<limit depth="0"/>\n\t<robots check="true"/>\n' + everybody + "</source>\n",
    "ArchiveConfiguration-1.xml":
        head + '<archive name=%s historicize="false">\n' % quoteattr(host)
        + '\t<source sourceid="1" authid="0"/>\n'
        # Daily, at the UTC hour twelve hours from now: a benchmark's crawl is never joined by
        # a scheduled one.
        + '\t<scheduling frequency="daily" attribute="1" accesstime="%d"/>\n'
        % ((time.gmtime().tm_hour + 12) % 24)
        + '\t<cache document="full"/>\n' + everybody + "</archive>\n",
    "CollectionConfiguration-1.xml":
        head + "<collection name=%s description=%s>\n"
        % (quoteattr(host), quoteattr("Everything crawled from " + host))
        + '\t<archive id="1"/>\n' + everybody + "</collection>\n",
}
for name, text in files.items():
    with open(out + "/" + name, "w") as f:
        f.write(text)


def q(text):
    return "'" + text.replace("'", "''") + "'"


with open(out + "/start.sql", "w") as f:
    f.write("insert into crawlstats values(1, %d, 0, 0, 0);\n" % int(time.time()))
    for u, h in seeds:
        f.write("insert or ignore into fetchqueue values(1, %s, %s, 0);\n" % (q(u), q(h)))
