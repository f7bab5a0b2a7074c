#!/usr/bin/env bash
# crawl_soak.sh: memory over a long crawl with searches beside it. The PostgreSQL manual is served
# under HOSTS loopback addresses (127.0.1.1 upwards, an nginx of this script's own), one archive
# per address, all queued at the start, so the daemon crawls, stores and indexes without pause
# and ends a crawl every few seconds; meanwhile one client searches the archives crawled so far
# over REST, one query after the other, with the corpus's queries. Every 10 s the resident memory
# of the daemon with its workers and index server is sampled; every minute a line gives pages
# stored, searches answered and memory. At the end: the growth from the second quarter of the
# soak (after warming up) to the last, in MiB and as a ratio, and the peak. The minute lines also give each
# process's anonymous + file-backed MiB (the database's memory map counts as file-backed).
#
#   bash bench/crawl_soak.sh                 30 minutes
#   SOAK_MINUTES=n                           the length (HOSTS defaults to 20 per minute, enough
#                                            for the crawl to last the whole soak at ~300 pages/s)
#   HOSTS=n WORKERS=n KEEP=1                 hosts, the daemon's WORKERS, keep the directory
#
# Needs nginx, sqlite3 and python3 (../shared/corpus/setup.sh installs them) and the manual.
# SPDX-License-Identifier: MIT
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build/bench
manual=/usr/share/doc/postgresql-doc-15/html
queries=${QUERIES:-$top/../shared/corpus/queries.txt}
minutes=${SOAK_MINUTES:-30}
hosts=${HOSTS:-$((minutes * 20))}
workers=${WORKERS:-5}
port=18092

for tool in nginx sqlite3 python3; do
    command -v "$tool" > /dev/null || { echo "$tool is missing" >&2; exit 2; }
done
cmake --preset bench > /dev/null
cmake --build "$build" -j 2 --target vantorelld worker-process idxserv vant_crawl_seed > /dev/null
seed_tool=$build/bench/vant_crawl_seed

work=$(mktemp -d /tmp/crawl-soak.XXXXXX)
daemon_pid=
client_pid=
cleanup() {
    [ -z "$client_pid" ] || kill "$client_pid" 2> /dev/null || true
    if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2> /dev/null; then
        kill -TERM "$daemon_pid"
        wait "$daemon_pid" || true
    fi
    [ ! -f "$work/nginx/nginx.pid" ] || nginx -p "$work/nginx/" -c "$work/nginx.conf" -s quit || true
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

address() { echo "127.0.$((1 + $1 / 250)).$((1 + $1 % 250))"; }
source "$top/bench/memory.sh"

mkdir -p "$work/nginx" "$work/data"
{
    echo "worker_processes 1; pid $work/nginx/nginx.pid; error_log $work/nginx/error.log warn;"
    echo "events { worker_connections 1024; }"
    echo "http { include /etc/nginx/mime.types; default_type application/octet-stream;"
    echo "  access_log off; sendfile on; tcp_nodelay on; keepalive_requests 1000000;"
    for d in client_body proxy fastcgi uwsgi scgi; do echo "  ${d}_temp_path $work/nginx/$d;"; done
    echo "  server {"
    for i in $(seq 0 $((hosts - 1))); do echo "    listen $(address "$i"):$port;"; done
    echo "    location = /robots.txt { return 200 \"User-agent: *\\nDisallow:\\n\"; }"
    echo "    location /pg/ { alias $manual/; }"
    echo "  }"
    echo "}"
} > "$work/nginx.conf"
nginx -p "$work/nginx/" -c "$work/nginx.conf"

http_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/vantorell.conf" << CONF
DATADIR=$work/data
DEPLOYDIR=$build/deploy
LOGCFG=LOG:WARNING
HTTP_PORT=127.0.0.1:$http_port
Throttling=0
WORKERS=$workers
SyncLevel=1
CONF
db=$work/data/vantorell.db
for i in $(seq 0 $((hosts - 1))); do
    a=$(address "$i")
    "$seed_tool" "$db" "http://$a:$port/pg/index.html" "^http://${a//./\\.}:$port/pg/" > /dev/null
done
echo "load: $(uptime | sed 's/.*load average/load average/'); $(nproc) cores; $hosts hosts," \
     "$minutes minutes, WORKERS=$workers"

MARLOVEN_CONFIG_FILE=$work/vantorell.conf "$build/deploy/bin/vantorelld" > "$work/daemon.out" 2>&1 &
daemon_pid=$!
until curl -fs -o /dev/null "http://127.0.0.1:$http_port/platform/status"; do
    kill -0 "$daemon_pid" || { echo "the daemon did not start" >&2; exit 1; }
    sleep 0.1
done

# The search client: archives 1 to 10 (crawled first), the queries in turn; counts the answers.
python3 - "$http_port" "$queries" "$work/searches" << 'PY' &
import itertools, sys, time, urllib.parse, urllib.request
port, queries, out = sys.argv[1], sys.argv[2], sys.argv[3]
words = [q.strip() for q in open(queries) if q.strip() and not q.startswith("#")]
done = 0
for n, q in enumerate(itertools.cycle(words)):
    url = "http://127.0.0.1:%s/index/%d?q=%s" % (port, 1 + n % 10, urllib.parse.quote(q))
    try:
        urllib.request.urlopen(url, timeout=30).read()
        done += 1
    except Exception as e:
        print("search failed:", url, e, file=sys.stderr)
        time.sleep(1)
    if n % 20 == 0:
        open(out, "w").write(str(done))
PY
client_pid=$!

samples=$work/rss
: > "$samples"
end=$((SECONDS + minutes * 60))
start=$SECONDS
while [ "$SECONDS" -lt "$end" ]; do
    sleep 10
    kill -0 "$daemon_pid" || { echo "the daemon ended; see $work/data/vantorell.log" >&2; exit 1; }
    kib=$(rss_kib "$daemon_pid")
    echo "$((SECONDS - start)) $kib" >> "$samples"
    if [ $(((SECONDS - start) % 60)) -lt 10 ]; then
        pages=$(sqlite3 -cmd '.timeout 5000' "$db" 'select count(*) from docstorage' || echo '?')
        printf 'minute %3d: %7s pages stored, %6s searches, %4d MiB: %s\n' \
            "$(((SECONDS - start) / 60))" "$pages" "$(cat "$work/searches" 2> /dev/null || echo 0)" \
            "$((kib / 1024))" "$(rss_parts "$daemon_pid")"
    fi
done
running=$(sqlite3 -cmd '.timeout 5000' "$db" 'select count(*) from crawlstats where end=0')
[ "$running" != 0 ] || echo "note: every crawl had ended before the soak did (raise HOSTS)"
# Growth after warming up: the mean of the second quarter of the soak against the mean of the
# last quarter (workers and caches reach their working size on the manual's largest pages, which
# every host serves a few minutes in).
awk -v m="$minutes" '
    $1 >= m * 15 && $1 < m * 30 { early += $2; ne++ }
    $1 >= m * 45 { late += $2; nl++ }
    $2 > peak { peak = $2 }
    END {
        if (ne == 0 || nl == 0) { print "too short for a comparison"; exit }
        e = early / ne / 1024; l = late / nl / 1024
        printf "memory: %.0f MiB in the second quarter, %.0f MiB in the last: %+.0f MiB (%.2f of the second quarter); peak %.0f MiB\n", e, l, l - e, l / e, peak / 1024
    }' "$samples"
