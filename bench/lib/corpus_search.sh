# corpus_search.sh: what the search load benchmarks share, sourced by bench/rest_load.sh and
# bench/portal_load.sh: the corpus site (nginx on 127.0.0.1:18080), a release build of the
# `bench` preset, a fresh data directory with the PostgreSQL manual and the CMake documentation
# crawled into archive 1 (about 3,100 pages), starting and stopping the daemon on a free loopback
# port, and wrk runs over the corpus's queries.
# Environment: CORPUS_DIR, the corpus directory with setup.sh and queries.txt (default: the
# shared corpus beside the checkout, ../shared/corpus); CONNECTIONS, wrk connections (default 16).
# Everything runs on 127.0.0.1; an EXIT trap stops the daemon, removes the data directory and
# stops an nginx that was not running before.
# SPDX-License-Identifier: MIT

cd "$(dirname "${BASH_SOURCE[0]}")/../.."
top=$(pwd)
corpus=${CORPUS_DIR:-$top/../shared/corpus}
connections=${CONNECTIONS:-16}
site=http://127.0.0.1:18080
deploy=$top/build/bench/deploy
work=""
daemon_pid=""
site_was_up=false

bench_cleanup() {
    if [ -n "$daemon_pid" ]; then kill -TERM "$daemon_pid" 2>/dev/null; wait "$daemon_pid" || true; fi
    [ -z "$work" ] || rm -rf "$work"
    $site_was_up || bash "$corpus/setup.sh" stop > /dev/null
}

# Packages, the corpus site (its full set-up only when starting fails), the build.
bench_prepare() {
    bench/setup
    curl -fs -o /dev/null "$site/small.html" && site_was_up=true
    trap bench_cleanup EXIT
    bash "$corpus/setup.sh" start > /dev/null 2>&1 || bash "$corpus/setup.sh" > /dev/null
    cmake --preset bench > /dev/null
    cmake --build --preset bench -j 2 > /dev/null
    work=$(mktemp -d -t vant-search-bench-XXXXXX)
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    export MARLOVEN_CONFIG_FILE="$work/vantorell.conf"
}

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
    "$deploy/bin/vantorelld" &
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

# The index: a crawl of both sites by the daemon into archive 1 (readable by everybody).
crawl_corpus() {
    configure 5
    mkdir -p "$work/records" "$work/data"
    python3 tools/seed_archive.py "$site/pg/index.html" "$work/records" "$site/" "$site/cmake/index.html"
    "$deploy/bin/vantorelld" /import "$work/records" > /dev/null
    local began ended waited=0
    began=$(date +%s.%N)
    sql ".read $work/records/start.sql"
    start_daemon
    # The crawl ends when the archive's queue runs empty; one that has logged nothing after a
    # minute is stuck.
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
    echo "Index: $(sql 'select ndocs from doccount where arcid=1') documents of $site/pg/ and" \
         "$site/cmake/ in $(python3 -c "print(round($ended - $began, 1))") s"
}

# One pass over the queries with `target` (a URL path with %s for the query), so that the index
# and the page cache are warm.
warm_up() {  # $1: target
    while read -r q; do
        local encoded
        encoded=$(python3 -c 'import sys,urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$q")
        curl -fs -o /dev/null "http://127.0.0.1:$port${1//%s/$encoded}"
    done < "$corpus/queries.txt"
}

# wrk counts one "read error" per reply here: the replies end with the connection (no keep-alive),
# which wrk reports as an error although it counts the request as done.
# Each run's requests/s and p99 (ms) are kept in $rate and $p99 for a summary.
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

# wrk over the corpus's queries, each put into `target` (a URL path with %s for the query).
run_queries() {  # $1: label, $2: target
    QUERIES="$corpus/queries.txt" TARGET="$2" run_wrk "$1" "http://127.0.0.1:$port/" \
        -s bench/rest_queries.lua
}
