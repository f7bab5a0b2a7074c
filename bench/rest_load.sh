#!/usr/bin/env bash
# rest_load.sh: load benchmark of REST searches. Crawls the PostgreSQL manual and the CMake
# documentation of the local corpus site (nginx on 127.0.0.1:18080; about 3,100 pages) into one
# archive of a fresh data directory, then runs wrk with the corpus's
# queries against GET /index/1?q=... with the request pool at its default size (5) and at 16
# threads, and, as the ceiling, against nginx serving the corpus's small static page.
# Usage: bench/rest_load.sh [SECONDS_PER_RUN]
# Environment: CORPUS_DIR, the corpus directory with setup.sh and queries.txt (default:
# shared/corpus beside the checkout); CONNECTIONS, wrk connections (default 16).
# Everything runs on 127.0.0.1; the daemon and nginx are stopped at the end.
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
seconds=${1:-15}
corpus=${CORPUS_DIR:-$top/../shared/corpus}
connections=${CONNECTIONS:-16}
site=http://127.0.0.1:18080

bench/setup
# The corpus site; its full set-up (packages of the documentation) only when starting fails. An
# nginx that this script started is stopped at the end.
site_was_up=false
curl -fs -o /dev/null "$site/small.html" && site_was_up=true
bash "$corpus/setup.sh" start > /dev/null 2>&1 || bash "$corpus/setup.sh" > /dev/null
cmake --preset bench > /dev/null
cmake --build --preset bench -j 2 > /dev/null
work=$(mktemp -d -t vant-restload-XXXXXX)
deploy=$top/build/bench/deploy
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
daemon_pid=""
cleanup() {
    if [ -n "$daemon_pid" ]; then kill -TERM "$daemon_pid" 2>/dev/null; wait "$daemon_pid" || true; fi
    rm -rf "$work"
    $site_was_up || bash "$corpus/setup.sh" stop > /dev/null
}
trap cleanup EXIT

configure() {  # $1: HTTP_THREADS, $2: SyncLevel
    cat > "$work/vantorell.conf" <<CONF
DATADIR=$work/data
DEPLOYDIR=$deploy
LOGCFG=LOG:INFO
HTTP_PORT=127.0.0.1:$port
HTTP_THREADS=$1
SyncLevel=${2:-1}
Throttling=0
CONF
}
start_daemon() {
    MARLOVEN_CONFIG_FILE="$work/vantorell.conf" "$deploy/bin/vantorelld" &
    daemon_pid=$!
    for _ in $(seq 100); do curl -fs -o /dev/null "http://127.0.0.1:$port/platform/status" && return; sleep 0.1; done
    echo "the daemon did not start" >&2
    exit 1
}
stop_daemon() {
    kill -TERM "$daemon_pid"
    wait "$daemon_pid" || true
    daemon_pid=""
}
sql() { sqlite3 -cmd ".timeout 10000" "$work/data/vantorell.db" "$@"; }

# The index: a crawl of both sites by the daemon.
configure 5
export MARLOVEN_CONFIG_FILE="$work/vantorell.conf"
mkdir -p "$work/records" "$work/data"
python3 tools/seed_archive.py "$site/pg/index.html" "$work/records" "$site/" "$site/cmake/index.html"
"$deploy/bin/vantorelld" /import "$work/records" > /dev/null
began=$(date +%s.%N)
sql ".read $work/records/start.sql"
start_daemon
# The crawl ends when the archive's queue runs empty; one that has logged nothing after a minute
# is stuck.
waited=0
while [ "$(sql 'select end from crawlstats where arcid=1 order by start desc limit 1')" = 0 ]; do
    sleep 1
    waited=$((waited + 1))
    if [ $waited -ge 60 ] && [ "$(sql 'select count(*) from documentlog where arcid=1')" = 0 ]; then
        echo "The crawl makes no progress; see $work/data/vantorell.log" >&2
        exit 1
    fi
done
stop_daemon
ended=$(date +%s.%N)
docs=$(sql 'select ndocs from doccount where arcid=1')
echo "Index: $docs documents of $site/pg/ and $site/cmake/ in $(python3 -c "print(round($ended - $began, 1))") s"

# wrk counts one "read error" per reply here: the replies end with the connection (no keep-alive,
# no Content-Length), which wrk reports as an error although it counts the request as done.
# Each run's requests/s and p99 (ms) are kept in $rate and $p99 for the summary.
rate=0
p99=0
run_wrk() {  # $1: label, $2: URL, further: wrk options
    local label=$1 url=$2 out
    shift 2
    echo "== $label"
    out=$(wrk -t2 -c"$connections" -d"${seconds}s" --latency "$@" "$url")
    grep -E "Requests/sec|Latency |  50%|  75%|  90%|  99%|Socket errors|Non-2xx|requests in" <<< "$out"
    rate=$(awk '/Requests\/sec/ {print $2}' <<< "$out")
    # wrk prints latencies with their unit (us, ms or s).
    p99=$(awk '$1 == "99%" {v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v);
                            print (u == "us" ? v / 1000 : u == "s" ? v * 1000 : v)}' <<< "$out")
}
summary=()
# Every query is logged in the database, so each one commits a transaction; under write-ahead
# logging SyncLevel 1 (the default) syncs only at checkpoints, and SyncLevel 0 shows what is left.
for setting in "5 1" "16 1" "5 0" "16 0"; do
    read -r threads sync <<< "$setting"
    configure "$threads" "$sync"
    start_daemon
    # One pass over the queries first, so that both runs find the index warm.
    while read -r q; do
        curl -fs -o /dev/null "http://127.0.0.1:$port/index/1?q=$(python3 -c 'import sys,urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$q")"
    done < "$corpus/queries.txt"
    QUERIES="$corpus/queries.txt" run_wrk "REST search, HTTP_THREADS=$threads SyncLevel=$sync" \
        "http://127.0.0.1:$port/" -s bench/rest_queries.lua
    summary+=("HTTP_THREADS=$threads SyncLevel=$sync|$rate|$p99")
    stop_daemon
done
run_wrk "nginx static page (ceiling)" "$site/small.html"
nginx_rate=$rate

# The aim: at least 5,000 searches/s with p99 at most 10 ms at 16 connections; the ratio to nginx
# on the same machine in the same run says how much of the machine's ceiling that is.
echo
echo "aims ($connections connections; nginx small page: $nginx_rate req/s in this run; $(uptime | sed 's/.*load/load/'))"
printf "  %-32s %10s %8s %10s %s\n" "REST search" "searches/s" "p99 ms" "of nginx" "aim (>= 5000/s, p99 <= 10 ms)"
for row in "${summary[@]}"; do
    IFS='|' read -r label r p <<< "$row"
    python3 - "$label" "$r" "$p" "$nginx_rate" <<'PY'
import sys
label, rate, p99, ceiling = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
met = "met" if rate >= 5000 and p99 <= 10 else "not met"
print(f"  {label:32} {rate:10.0f} {p99:8.2f} {rate / ceiling:10.3f} {met}")
PY
done
