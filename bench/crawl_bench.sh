#!/usr/bin/env bash
# crawl_bench.sh: the daemon's whole crawl pipeline (fetch, parse, store, index) against a local
# mirror of the PostgreSQL manual (1,169 pages), in the same run as `wget -r` (fetching alone,
# one connection) and `omindex` (indexing the mirror alone); then the same site under five host
# addresses (127.0.0.2 to 127.0.0.6, an nginx of this script's own) crawled as five sources, for
# the speed-up of the parallel workers; then the two manuals of the corpus (PostgreSQL and CMake,
# about 3,100 pages) as two sites, for memory. Prints pages per second, CPU time per page (user +
# system of the daemon with its workers and index server, which it waits for) and memory, and at
# the end every aim as a ratio against its anchor from the same run.
#
#   bash bench/crawl_bench.sh                builds the bench preset and runs everything
#   PROFILE=1 bash bench/crawl_bench.sh      also records the single-host crawl with perf and
#                                            prints the top symbols of each program (its CPU
#                                            figure then includes perf's own)
#   WORKERS=n SYNCLEVEL=n                    the daemon's WORKERS and SyncLevel (default 5 and 1)
#   ONLY=single                              only the daemon's single-host crawl
#   DEPLOY=dir                               run the programs of another installation (a copy
#                                            of build/bench/deploy), to compare two builds
#   KEEP=1                                   keep the working directory
#
# Needs the shared corpus (CORPUS_DIR, by default ../shared/corpus beside the checkout: `bash setup.sh` installs nginx,
# wget, xapian-omega and the manuals, and serves them on 127.0.0.1:18080); an nginx not running
# there is started with `setup.sh start` and stopped again at the end. GNU time measures CPU.
# SPDX-License-Identifier: MIT
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
corpus=${CORPUS_DIR:-$top/../shared/corpus}
build=$top/build/bench
manual=/usr/share/doc/postgresql-doc-15/html
cmake_manual=/usr/share/doc/cmake-data/html
port=18090
workers=${WORKERS:-5}
sync_level=${SYNCLEVEL:-1}

for tool in wget omindex nginx sqlite3 /usr/bin/time; do
    command -v "$tool" > /dev/null || { echo "$tool is missing: run $corpus/setup.sh" >&2; exit 2; }
done
cmake --preset bench > /dev/null
cmake --build "$build" -j 2 --target vantorelld worker-process idxserv vant_crawl_seed > /dev/null
seed_tool=$build/bench/vant_crawl_seed
deploy=${DEPLOY:-$build/deploy}

work=$(mktemp -d -t crawl-bench.XXXXXX)
shared_started=0
own_nginx=0
runner_pid=
sampler_pid=
cleanup() {
    [ -z "$sampler_pid" ] || kill "$sampler_pid" 2> /dev/null || true
    if [ -n "$runner_pid" ] && kill -0 "$runner_pid" 2> /dev/null; then
        pkill -TERM -P "$runner_pid" || true
        wait "$runner_pid" || true
    fi
    if [ "$own_nginx" = 1 ]; then
        nginx -p "$work/nginx/" -c "$work/nginx.conf" -s quit || true
    fi
    if [ "$shared_started" = 1 ]; then
        bash "$corpus/setup.sh" stop > /dev/null || true
    fi
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
rate() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.0f", n / (b - a) }'; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# CPU milliseconds per page from a GNU time file holding "user system".
cpu_ms() { awk -v n="$2" '{ printf "%.2f", ($1 + $2) * 1000 / n }' "$1"; }
source "$top/bench/memory.sh"
# The daemon's process id among the descendants of $1 (GNU time, perf).
daemon_below() {
    local p
    for p in $(pgrep -P "$1" || true); do
        if [ "$(cat "/proc/$p/comm" 2> /dev/null)" = vantorelld ]; then
            echo "$p"
            return 0
        fi
        daemon_below "$p" && return 0
    done
    return 1
}
mib() { awk -v k="$1" 'BEGIN { printf "%.0f", k / 1024 }'; }

echo "load: $(uptime | sed 's/.*load average/load average/'); $(nproc) cores"
if ! curl -fsS -o /dev/null http://127.0.0.1:18080/pg/index.html 2> /dev/null; then
    bash "$corpus/setup.sh" start > /dev/null
    shared_started=1
fi
html_pages=$(find -L "$manual" -name '*.html' | wc -l)
echo "corpus: $html_pages HTML pages of the PostgreSQL manual"

only=${ONLY:-}
wget_rate= omindex_rate= omindex_cpu= omindex_mib=
if [ -z "$only" ]; then
    # 1. wget -r: fetching alone, one connection.
    t0=$(now)
    wget -q -r -np -nH -P "$work/mirror" http://127.0.0.1:18080/pg/index.html || true
    t1=$(now)
    fetched=$(find "$work/mirror" -name '*.html' | wc -l)
    wget_rate=$(rate "$fetched" "$t0" "$t1")
    echo "wget -r:  $fetched pages in $(secs "$t0" "$t1") s: $wget_rate pages/s"

    # 2. omindex: indexing the mirror alone.
    t0=$(now)
    /usr/bin/time -f '%U %S %M' -o "$work/omindex.time" \
        omindex --db "$work/omega" --url / "$work/mirror/pg" > /dev/null
    t1=$(now)
    omindex_rate=$(rate "$fetched" "$t0" "$t1")
    omindex_cpu=$(cpu_ms "$work/omindex.time" "$fetched")
    omindex_mib=$(awk '{ printf "%.0f", $3 / 1024 }' "$work/omindex.time")
    echo "omindex:  $fetched pages in $(secs "$t0" "$t1") s: $omindex_rate pages/s," \
         "$omindex_cpu ms CPU per page, $omindex_mib MiB peak"
fi

# Runs the daemon under GNU time on a fresh data directory with one archive per "seed|include"
# argument until every crawl has ended; samples the memory of the daemon and its children every
# 0.2 s; prints good pages, URLs, pages per second (daemon start included), CPU per page (start
# to stop) and memory (the peak, and at the crawl's end).
crawl() {
    local name=$1
    shift
    local dir=$work/$name
    mkdir -p "$dir/data"
    cat > "$dir/vantorell.conf" << CONF
DATADIR=$dir/data
DEPLOYDIR=$deploy
LOGCFG=LOG:INFO
HTTP_PORT=127.0.0.1:0
Throttling=0
WORKERS=$workers
SyncLevel=$sync_level
CONF
    local archive
    for archive in "$@"; do
        "$seed_tool" "$dir/data/vantorell.db" "${archive%%|*}" "${archive#*|}" > /dev/null
    done
    local db=$dir/data/vantorell.db
    local t_start t_end daemon_pid
    local recorder=()
    if [ "${PROFILE:-0}" = 1 ] && [ "$name" = single ]; then
        recorder=(perf record -q -F 2000 ${PERF_OPTS:-} -o "$dir/perf.data" --)
    fi
    t_start=$(now)
    MARLOVEN_CONFIG_FILE=$dir/vantorell.conf /usr/bin/time -f '%U %S' -o "$dir/cpu.time" \
        "${recorder[@]}" "$deploy/bin/vantorelld" > "$dir/daemon.out" 2>&1 &
    runner_pid=$!
    until daemon_pid=$(daemon_below "$runner_pid"); do
        sleep 0.01
    done
    (
        peak=0
        while kill -0 "$daemon_pid" 2> /dev/null; do
            kib=$(rss_kib "$daemon_pid")
            [ "$kib" -le "$peak" ] || peak=$kib
            echo "$peak" > "$dir/rss.peak"
            sleep 0.2
        done
    ) &
    sampler_pid=$!
    # The daemon holds the database most of the time: a poll that finds it locked tries again.
    while [ "$(sqlite3 -cmd '.timeout 5000' "$db" \
               'select count(*) from crawlstats where end=0' 2> /dev/null || echo busy)" != 0 ]; do
        kill -0 "$daemon_pid" 2> /dev/null || { cat "$dir/daemon.out" >&2; exit 1; }
        sleep 0.02
    done
    t_end=$(now)
    local end_kib
    end_kib=$(rss_kib "$daemon_pid")
    local end_parts
    end_parts=$(rss_parts "$daemon_pid")
    kill -TERM "$daemon_pid"
    wait "$runner_pid"
    runner_pid=
    kill "$sampler_pid" 2> /dev/null || true
    wait "$sampler_pid" 2> /dev/null || true
    sampler_pid=
    local good urls peak_kib
    good=$(sqlite3 "$db" 'select count(*) from documentlog where status=0')
    urls=$(sqlite3 "$db" 'select count(*) from documentlog')
    peak_kib=$(cat "$dir/rss.peak" 2> /dev/null || echo 0)
    [ "$end_kib" -le "$peak_kib" ] || peak_kib=$end_kib
    last_rate=$(rate "$good" "$t_start" "$t_end")
    last_cpu=$(cpu_ms "$dir/cpu.time" "$good")
    last_end_mib=$(mib "$end_kib")
    last_peak_mib=$(mib "$peak_kib")
    echo "vantorelld ($name, WORKERS=$workers, SyncLevel=$sync_level): $good pages ($urls URLs)" \
         "in $(secs "$t_start" "$t_end") s: $last_rate pages/s, $last_cpu ms CPU per page," \
         "$last_end_mib MiB at the end ($last_peak_mib MiB peak)"
    echo "  at the end, anonymous+file-backed MiB: $end_parts"
    if [ -f "$dir/perf.data" ]; then
        # head ends each report early: perf's broken pipe must not end the script (pipefail).
        { perf report -q -i "$dir/perf.data" --sort comm 2> /dev/null || true; } |
            head -8 | sed "s/^/  /"
        for comm in vantorelld worker-process idxserv; do
            echo "  top symbols of $comm:"
            { perf report -q -i "$dir/perf.data" --comm "$comm" --sort dso,sym 2> /dev/null ||
                true; } | head -25 | sed 's/^/    /'
        done
    fi
}

# 3. The daemon on one host.
crawl single "http://127.0.0.1:18080/pg/index.html|^http://127\\.0\\.0\\.1:18080/pg/"
single_rate=$last_rate
single_cpu=$last_cpu
[ "$only" = single ] && exit 0

# 4. Five hosts: the same site on 127.0.0.2 to 127.0.0.6, five sources; then the two manuals on
# 127.0.0.7 and 127.0.0.8.
mkdir -p "$work/nginx"
{
    echo "worker_processes 2; pid $work/nginx/nginx.pid; error_log $work/nginx/error.log warn;"
    echo "events { worker_connections 1024; }"
    echo "http { include /etc/nginx/mime.types; default_type application/octet-stream;"
    echo "  access_log off; sendfile on; tcp_nodelay on; keepalive_requests 1000000;"
    for d in body proxy fastcgi uwsgi scgi; do echo "  ${d}_temp_path $work/nginx/$d;" | sed 's/body_temp/client_body_temp/'; done
    echo "  server {"
    for i in 2 3 4 5 6 7 8; do echo "    listen 127.0.0.$i:$port;"; done
    echo "    location = /robots.txt { return 200 \"User-agent: *\\nDisallow:\\n\"; }"
    echo "    location /pg/ { alias $manual/; }"
    echo "    location /cmake/ { alias $cmake_manual/; }"
    echo "  }"
    echo "}"
} > "$work/nginx.conf"
nginx -p "$work/nginx/" -c "$work/nginx.conf"
own_nginx=1
archives=()
for i in 2 3 4 5 6; do
    archives+=("http://127.0.0.$i:$port/pg/index.html|^http://127\\.0\\.0\\.$i:$port/pg/")
done
crawl five "${archives[@]}"
five_rate=$last_rate
crawl two "http://127.0.0.7:$port/pg/index.html|^http://127\\.0\\.0\\.7:$port/pg/" \
    "http://127.0.0.8:$port/cmake/index.html|^http://127\\.0\\.0\\.8:$port/cmake/"

echo "aims (ratios against anchors of this run):"
if [ -n "$omindex_rate" ]; then
    echo "  one host, pages/s:          $(ratio "$single_rate" "$omindex_rate") of omindex" \
         "(aim >= 1.00), $(ratio "$single_rate" "$wget_rate") of wget -r"
    echo "  one host, CPU per page:     $(ratio "$single_cpu" "$omindex_cpu") of omindex" \
         "(aim <= 1.20)"
fi
echo "  five hosts, pages/s:        $(ratio "$five_rate" "$single_rate") of one host (aim >= 1.60)"
echo "  two sites, memory at end:   $last_end_mib MiB (aim <= 200; peak $last_peak_mib MiB)$(
    [ -z "$omindex_mib" ] || echo ", $(ratio "$last_end_mib" "$omindex_mib") of omindex's peak")"
