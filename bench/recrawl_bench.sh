#!/usr/bin/env bash
# recrawl_bench.sh: a crawl of the PostgreSQL manual (1,169 pages, served by the corpus's nginx,
# which answers conditional requests), then a second crawl of the same, unchanged site on the
# same data directory. Prints both times and the re-crawl time over the first crawl's time (the
# aim is 0.2 or less), also without the start-up of each (the daemon's start until the crawl's
# first URL is logged), with the statuses of the second crawl and its "304 Not Modified" count.
#
#   bash bench/recrawl_bench.sh               builds the bench preset and runs both crawls
#   WORKERS=n SYNCLEVEL=n                     the daemon's WORKERS and SyncLevel (default 5 and 1)
#   DEPLOY=dir                                run the programs of another installation (a copy
#                                             of build/bench/deploy), to compare two builds
#   PROFILE=1                                 records the re-crawl with perf and prints the CPU
#                                             of each program and its top symbols
#
# Needs the corpus beside the checkout (../shared/corpus, or CORPUS_DIR); an nginx not running
# on 127.0.0.1:18080 is started with its `setup.sh start` and stopped again at the end.
# SPDX-License-Identifier: MIT
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
corpus=${CORPUS_DIR:-$top/../shared/corpus}
build=$top/build/bench
workers=${WORKERS:-5}
sync_level=${SYNCLEVEL:-1}
seed=http://127.0.0.1:18080/pg/index.html
include='^http://127\.0\.0\.1:18080/pg/'

cmake --preset bench > /dev/null
cmake --build "$build" -j 2 --target vantorelld worker-process idxserv vant_crawl_seed > /dev/null
seed_tool=$build/bench/vant_crawl_seed
deploy=${DEPLOY:-$build/deploy}

work=$(mktemp -d /tmp/recrawl-bench.XXXXXX)
shared_started=0
daemon_pid=
cleanup() {
    if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2> /dev/null; then
        kill -TERM "$daemon_pid"
        wait "$daemon_pid" || true
    fi
    if [ "$shared_started" = 1 ]; then
        bash "$corpus/setup.sh" stop > /dev/null || true
    fi
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

if ! curl -fsS -o /dev/null "$seed" 2> /dev/null; then
    bash "$corpus/setup.sh" start > /dev/null
    shared_started=1
fi
echo "load: $(uptime | sed 's/.*load average/load average/'); $(nproc) cores"

mkdir -p "$work/data"
cat > "$work/vantorell.conf" << CONF
DATADIR=$work/data
DEPLOYDIR=$deploy
LOGCFG=LOG:INFO
HTTP_PORT=127.0.0.1:0
Throttling=0
WORKERS=$workers
SyncLevel=$sync_level
CONF
db=$work/data/vantorell.db

# Runs the daemon until no crawl is open; prints the seconds it took (daemon start included) and
# the seconds of its start-up: until the crawl's first URL was logged (the poll's resolution,
# about 0.03 s, is in it).
run_crawl() {
    local t_start t_first= t_end logged_before state
    local recorder=("$@")
    logged_before=$(sqlite3 "$db" 'select count(*) from documentlog' 2> /dev/null || echo 0)
    t_start=$(now)
    MARLOVEN_CONFIG_FILE=$work/vantorell.conf "${recorder[@]}" "$deploy/bin/vantorelld" \
        >> "$work/daemon.out" 2>&1 &
    daemon_pid=$!
    # The daemon holds the database most of the time: a poll that finds it locked tries again.
    while :; do
        state=$(sqlite3 -cmd '.timeout 5000' "$db" "select (select count(*) from crawlstats \
            where end=0) || ' ' || (select count(*) from documentlog)" 2> /dev/null || echo busy)
        if [ -z "$t_first" ] && [ "$state" != busy ] && [ "${state#* }" -gt "$logged_before" ]; then
            t_first=$(now)
        fi
        [ "${state%% *}" != 0 ] || break
        kill -0 "$daemon_pid" 2> /dev/null || { tail -3 "$work/daemon.out" >&2; exit 1; }
        sleep 0.02
    done
    t_end=$(now)
    # Under perf the daemon is perf's child.
    if [ ${#recorder[@]} -gt 0 ]; then pkill -TERM -P "$daemon_pid"; else kill -TERM "$daemon_pid"; fi
    wait "$daemon_pid"
    daemon_pid=
    echo "$(secs "$t_start" "$t_end") $(secs "$t_start" "${t_first:-$t_end}")"
}

arcid=$("$seed_tool" "$db" "$seed" "$include")
read -r first first_startup < <(run_crawl)
good=$(sqlite3 "$db" 'select count(*) from documentlog where status=0')
echo "first crawl: $good pages in $first s ($first_startup s of it start-up)"

# A crawl fetches nothing stored since it began: the second one starts after the first's last
# fetch.
newest=$(sqlite3 "$db" 'select max(timestamp) from documentlog')
while [ "$(date +%s)" -le "$newest" ]; do sleep 0.2; done
"$seed_tool" "$db" --again "$arcid" "$seed" > /dev/null
recorder=()
[ "${PROFILE:-0}" != 1 ] || recorder=(perf record -q -F 2000 ${PERF_OPTS:-} -o "$work/perf.data" --)
read -r second second_startup < <(run_crawl "${recorder[@]}")
start=$(sqlite3 "$db" "select max(start) from crawlstats where arcid=$arcid")
statuses=$(sqlite3 "$db" "select group_concat(status || ':' || n, ' ') from (select status, \
    count(*) n from documentlog where arcid=$arcid and timestamp>=$start group by status)")
not_modified=$(sqlite3 "$db" "select ifnull(max(notmodified), 0) from crawlnotmodified \
    where arcid=$arcid and start=$start")
versions=$(sqlite3 "$db" "select count(*) from docstorage where arcid=$arcid")
echo "re-crawl:    statuses $statuses (9 = UNCHANGED), $not_modified answered 304," \
     "$versions versions stored, in $second s ($second_startup s of it start-up)"
echo "re-crawl time / first crawl time: $(awk -v a="$first" -v b="$second" \
    'BEGIN { printf "%.3f (%.1f times faster)", b / a, a / b }')"
echo "the same without start-up:        $(awk -v a="$first" -v b="$second" \
    -v sa="$first_startup" -v sb="$second_startup" \
    'BEGIN { printf "%.3f (%.1f times faster)", (b - sb) / (a - sa), (a - sa) / (b - sb) }')"
if [ -f "$work/perf.data" ]; then
    # head ends each report early: perf's broken pipe must not end the script (pipefail).
    { perf report -q -i "$work/perf.data" --sort comm 2> /dev/null || true; } | head -8
    for comm in vantorelld worker-process idxserv; do
        echo "top symbols of $comm:"
        { perf report -q -i "$work/perf.data" --comm "$comm" --sort dso,sym 2> /dev/null ||
            true; } | head -20 | sed 's/^/  /'
    done
fi
