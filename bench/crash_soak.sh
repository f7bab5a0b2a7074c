#!/usr/bin/env bash
# crash_soak.sh: crash safety at scale. Crawls the corpus site (the PostgreSQL and CMake manuals,
# about 3,100 pages) once without interruption for reference, then again while killing the
# daemon with SIGKILL at random moments KILLS times (default 50), restarting it after each kill.
# After every kill it checks the database the daemon left behind:
#   - "pragma integrity_check" answers ok;
#   - no URL is stored twice, nor logged twice, for the crawl;
#   - no URL that was queued at the previous kill is lost: each is still queued or processed.
# At the end the crawl runs to its end and the daemon stops (its final index flush); then the
# index's document count must equal the store's, and the stored URLs those of the reference.
# Prints the figures; exits 1 at the first failed check (the data directory is then kept).
#
#   bash bench/crash_soak.sh               50 kills
#   KILLS=n SEED=n WORKERS=n bash bench/crash_soak.sh
#   HISTORY=1                              the archive keeps every fetch as a version of its own
#   KEEP=1                                 keep the working directory
#   DEPLOY=dir                             run the programs of another installation (such as
#                                          build/bench/deploy) instead of building the release one
#
# Needs the shared corpus beside the checkout (../shared/corpus: `bash setup.sh` installs nginx,
# sqlite3 and xapian-tools and serves the manuals on 127.0.0.1:18080); an nginx not running there
# is started with `setup.sh start` and stopped again at the end. Uses the release build.
# SPDX-License-Identifier: MIT
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
corpus=$top/../shared/corpus
kills=${KILLS:-50}
seed=${SEED:-$$}
workers=${WORKERS:-5}
history=${HISTORY:-0}
site=http://127.0.0.1:18080
deploy=${DEPLOY:-$top/build/release/deploy}
RANDOM=$seed

for tool in sqlite3 xapian-delve curl python3; do
    command -v "$tool" > /dev/null || { echo "$tool is missing: run $corpus/setup.sh" >&2; exit 2; }
done
if [ -z "${DEPLOY:-}" ]; then
    cmake --preset release > /dev/null
    cmake --build --preset release -j 2 --target vantorelld worker-process idxserv > /dev/null
fi

work=$(mktemp -d /tmp/vant-soak-XXXXXX)
site_was_up=false
daemon_pid=
failed=0
cleanup() {
    if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2> /dev/null; then
        kill -TERM "$daemon_pid"
        wait "$daemon_pid" || true
    fi
    $site_was_up || bash "$corpus/setup.sh" stop > /dev/null || true
    if [ "$failed" = 1 ] || [ -n "${KEEP:-}" ]; then
        echo "working directory kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
curl -fs -o /dev/null "$site/small.html" && site_was_up=true
$site_was_up || bash "$corpus/setup.sh" start > /dev/null

fail() {
    failed=1
    echo "FAILED: $*" >&2
    exit 1
}
now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

# Sets up $dir: configuration, the imported records and the first crawl of archive 1.
prepare() {
    dir=$1
    mkdir -p "$dir/records" "$dir/data"
    cat > "$dir/vantorell.conf" << CONF
DATADIR=$dir/data
DEPLOYDIR=$deploy
LOGCFG=LOG:INFO
HTTP_PORT=127.0.0.1:0
Throttling=0
WORKERS=$workers
SyncLevel=1
CONF
    export MARLOVEN_CONFIG_FILE=$dir/vantorell.conf
    python3 "$top/tools/seed_archive.py" "$site/pg/index.html" "$dir/records" "$site/" \
        "$site/cmake/index.html"
    if [ "$history" = 1 ]; then
        sed -i 's/historicize="false"/historicize="true"/' "$dir/records/ArchiveConfiguration-1.xml"
    fi
    "$deploy/bin/vantorelld" /import "$dir/records" > /dev/null
    sql ".read $dir/records/start.sql"
}
sql() { sqlite3 -cmd ".timeout 20000" "$dir/data/vantorell.db" "$@"; }
start_daemon() {
    "$deploy/bin/vantorelld" >> "$dir/daemon.out" 2>&1 &
    daemon_pid=$!
}
crawl_start() { sql 'select start from crawlstats where arcid=1 order by start desc limit 1'; }
crawl_running() { [ "$(sql 'select end from crawlstats where arcid=1 order by start desc limit 1')" = 0 ]; }
wait_for_crawl_end() {
    while crawl_running; do
        kill -0 "$daemon_pid" 2> /dev/null || fail "the daemon ended by itself; see $dir/data/vantorell.log"
        sleep 0.5
    done
}
# A SIGTERM before the daemon has set up its stop handling ends it like any program.
wait_until_started() {
    until grep -q "started, pid $daemon_pid\$" "$dir/data/vantorell.log" 2> /dev/null; do
        kill -0 "$daemon_pid" 2> /dev/null || fail "the daemon did not start; see $dir/daemon.out"
        sleep 0.1
    done
}
stop_daemon() {
    wait_until_started
    kill -TERM "$daemon_pid"
    wait "$daemon_pid" || fail "the daemon did not stop cleanly; see $dir/data/vantorell.log"
    daemon_pid=
}
# The URLs of the current crawl that were processed (logged), or are queued.
processed_urls() { sql "select url from documentlog where arcid=1 and timestamp>=$(crawl_start)" | LC_ALL=C sort -u; }
queued_urls() { sql 'select url from fetchqueue where arcid=1' | LC_ALL=C sort -u; }
index_count() { xapian-delve "$dir/data/index" | sed -n 's/^number of documents = //p'; }

# The checks on the database that a dead daemon left behind. $1: what is being checked.
check_database() {
    local when=$1 integrity twice logged_twice lost
    integrity=$(sql 'pragma integrity_check')
    [ "$integrity" = ok ] || fail "$when: integrity_check says: $integrity"
    twice=$(sql "select count(*) from (select url from docstorage where arcid=1 and timestamp>=$(crawl_start) group by url having count(*) > 1)")
    [ "$twice" = 0 ] || fail "$when: $twice URLs stored twice in the crawl"
    logged_twice=$(sql "select count(*) from (select url from documentlog where arcid=1 and timestamp>=$(crawl_start) group by url having count(*) > 1)")
    [ "$logged_twice" = 0 ] || fail "$when: $logged_twice URLs processed twice in the crawl"
    LC_ALL=C sort -u <(processed_urls) <(queued_urls) > "$dir/known.txt"
    if [ -f "$dir/queued.txt" ]; then
        lost=$(LC_ALL=C comm -23 "$dir/queued.txt" "$dir/known.txt" | wc -l)
        [ "$lost" = 0 ] || fail "$when: $lost URLs queued before are neither queued nor processed:" \
            "$(LC_ALL=C comm -23 "$dir/queued.txt" "$dir/known.txt" | head -5)"
    fi
    queued_urls > "$dir/queued.txt"
}

# 1. The reference: one crawl without interruption.
prepare "$work/reference"
t0=$(now)
start_daemon
wait_for_crawl_end
t1=$(now)
stop_daemon
sql 'select url from docstorage where arcid=1' | LC_ALL=C sort > "$work/reference.txt"
reference_pages=$(wc -l < "$work/reference.txt")
reference_secs=$(secs "$t0" "$t1")
echo "reference crawl: $reference_pages URLs stored in $reference_secs s (WORKERS=$workers," \
     "history=$history)"

# 2. The same crawl, killed KILLS times. Kills fall uniformly in the first 1.5 x (reference
# time / KILLS) seconds of each run, start-up included, so that about two thirds of the crawl
# are done by the last kill.
max_ms=$(awk -v s="$reference_secs" -v k="$kills" 'BEGIN { printf "%d", 1500 * s / k + 100 }')
prepare "$work/soak"
queued_urls > "$dir/queued.txt"
mid_crawl=0
t0=$(now)
for k in $(seq "$kills"); do
    start_daemon
    delay_ms=$(( (RANDOM * 32768 + RANDOM) % max_ms ))
    sleep "$(awk -v ms="$delay_ms" 'BEGIN { printf "%.3f", ms / 1000 }')"
    kill -0 "$daemon_pid" 2> /dev/null || fail "kill $k: the daemon had ended by itself"
    children=$(pgrep -P "$daemon_pid" || true)
    crawl_running && mid_crawl=$((mid_crawl + 1))
    kill -KILL "$daemon_pid"
    wait "$daemon_pid" 2> /dev/null || true
    daemon_pid=
    # The children see the connection end and exit (the index server after committing).
    for _ in $(seq 300); do
        alive=0
        for c in $children; do kill -0 "$c" 2> /dev/null && alive=1; done
        [ "$alive" = 0 ] && break
        sleep 0.1
    done
    [ "$alive" = 0 ] || fail "kill $k: children $children still run 30 s after the daemon died"
    check_database "kill $k after ${delay_ms} ms"
    printf 'kill %2d after %5d ms: %5d processed, %5d queued\n' "$k" "$delay_ms" \
        "$(processed_urls | wc -l)" "$(wc -l < "$dir/queued.txt")"
done
t1=$(now)

# 3. The crawl runs to its end; the daemon stops with its final flush.
start_daemon
wait_for_crawl_end
stop_daemon
t2=$(now)
check_database "after the final run"
sql 'select url from docstorage where arcid=1' | LC_ALL=C sort > "$work/soak.txt"
cmp -s "$work/reference.txt" "$work/soak.txt" ||
    fail "stored URLs differ from the reference: $(diff "$work/reference.txt" "$work/soak.txt" | head -5)"
stored=$(sql 'select count(*) from docstorage where arcid=1 and error=0')
counted=$(sql 'select ndocs from doccount where arcid=1')
indexed=$(index_count)
[ "$stored" = "$counted" ] || fail "store counter $counted, but $stored good documents stored"
[ "$indexed" = "$stored" ] || fail "index holds $indexed documents, the store $stored"
echo "soak: $kills kills ($mid_crawl while the crawl ran) in $(secs "$t0" "$t1") s, then the rest" \
     "of the crawl in $(secs "$t1" "$t2") s"
echo "after every kill: integrity_check ok, no URL stored or processed twice, no queued URL lost"
echo "end: $(wc -l < "$work/soak.txt") URLs stored (reference $reference_pages), $stored good" \
     "documents in the store, $indexed in the index"
