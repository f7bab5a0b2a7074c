#!/usr/bin/env bash
# crawl_bench.sh: the daemon's whole crawl pipeline (fetch, parse, store, index) against a local
# mirror of the PostgreSQL manual (1,169 pages), in the same run as `wget -r` (fetching alone,
# one connection) and `omindex` (indexing the mirror alone); then the same site under five host
# addresses (127.0.0.2 to 127.0.0.6, an nginx of this script's own) crawled as five sources, for
# the speed-up of the parallel workers. Prints pages per second for each.
#
#   bash bench/crawl_bench.sh                builds the bench preset and runs everything
#   PROFILE=1 bash bench/crawl_bench.sh      also records the single-host crawl with perf and
#                                            prints the top symbols of each program
#   WORKERS=n SYNCLEVEL=n                    the daemon's WORKERS and SyncLevel (default 5 and 1)
#   ONLY=single                              only the daemon's single-host crawl
#
# Needs the shared corpus: CORPUS_DIR, by default shared/corpus beside the checkout (its
# `bash setup.sh` installs nginx, wget, xapian-omega and the manual, and serves it on
# 127.0.0.1:18080/pg/); an nginx not running there is started with `setup.sh start` and stopped
# again at the end.
# SPDX-License-Identifier: MIT
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
corpus=${CORPUS_DIR:-$top/../shared/corpus}
build=$top/build/bench
manual=/usr/share/doc/postgresql-doc-15/html
port=18090
workers=${WORKERS:-5}
sync_level=${SYNCLEVEL:-1}

cmake --preset bench > /dev/null
cmake --build "$build" --target vantorelld worker-process idxserv vant_crawl_seed > /dev/null
seed_tool=$build/bench/vant_crawl_seed

work=$(mktemp -d -t crawl-bench.XXXXXX)
shared_started=0
own_nginx=0
daemon_pid=
cleanup() {
    if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2> /dev/null; then
        kill -TERM "$daemon_pid"
        wait "$daemon_pid" || true
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

if ! curl -fsS -o /dev/null http://127.0.0.1:18080/pg/index.html 2> /dev/null; then
    bash "$corpus/setup.sh" start > /dev/null
    shared_started=1
fi
html_pages=$(find -L "$manual" -name '*.html' | wc -l)
echo "corpus: $html_pages HTML pages of the PostgreSQL manual; $(nproc) cores"

only=${ONLY:-}
if [ -z "$only" ]; then
# 1. wget -r: fetching alone, one connection.
t0=$(now)
wget -q -r -np -nH -P "$work/mirror" http://127.0.0.1:18080/pg/index.html || true
t1=$(now)
fetched=$(find "$work/mirror" -name '*.html' | wc -l)
echo "wget -r:  $fetched pages in $(secs "$t0" "$t1") s: $(rate "$fetched" "$t0" "$t1") pages/s"

# 2. omindex: indexing the mirror alone.
t0=$(now)
omindex --db "$work/omega" --url / "$work/mirror/pg" > /dev/null
t1=$(now)
echo "omindex:  $fetched pages in $(secs "$t0" "$t1") s: $(rate "$fetched" "$t0" "$t1") pages/s"
fi

# Runs the daemon on a fresh data directory with one archive per "seed|include" argument until
# every crawl has ended; prints good pages, URLs and pages per second (daemon start included).
crawl() {
    local name=$1
    shift
    local dir=$work/$name
    mkdir -p "$dir/data"
    cat > "$dir/vantorell.conf" << CONF
DATADIR=$dir/data
DEPLOYDIR=$build/deploy
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
    local t_start t_end
    t_start=$(now)
    if [ "${PROFILE:-0}" = 1 ] && [ "$name" = single ]; then
        MARLOVEN_CONFIG_FILE=$dir/vantorell.conf perf record -q -F 2000 -o "$dir/perf.data" -- \
            "$build/deploy/bin/vantorelld" > "$dir/daemon.out" 2>&1 &
    else
        MARLOVEN_CONFIG_FILE=$dir/vantorell.conf "$build/deploy/bin/vantorelld" \
            > "$dir/daemon.out" 2>&1 &
    fi
    daemon_pid=$!
    # The daemon holds the database most of the time: a poll that finds it locked tries again.
    while [ "$(sqlite3 -cmd '.timeout 5000' "$db" \
               'select count(*) from crawlstats where end=0' 2> /dev/null || echo busy)" != 0 ]; do
        sleep 0.02
    done
    t_end=$(now)
    if [ "${PROFILE:-0}" = 1 ] && [ "$name" = single ]; then
        kill -TERM "$(pgrep -P "$daemon_pid")"
    else
        kill -TERM "$daemon_pid"
    fi
    wait "$daemon_pid"
    daemon_pid=
    local good urls
    good=$(sqlite3 "$db" 'select count(*) from documentlog where status=0')
    urls=$(sqlite3 "$db" 'select count(*) from documentlog')
    echo "vantorelld ($name, WORKERS=$workers, SyncLevel=$sync_level): $good pages ($urls URLs)" \
         "in $(secs "$t_start" "$t_end") s: $(rate "$good" "$t_start" "$t_end") pages/s"
    last_rate=$(rate "$good" "$t_start" "$t_end")
    if [ -f "$dir/perf.data" ]; then
        perf report -q -i "$dir/perf.data" --sort comm 2> /dev/null | head -8 | sed "s/^/  /"
        for comm in vantorelld worker-process idxserv; do
            echo "  top symbols of $comm:"
            perf report -q -i "$dir/perf.data" --comm "$comm" --sort dso,sym 2> /dev/null |
                head -25 | sed 's/^/    /'
        done
    fi
}

# 3. The daemon on one host.
crawl single "http://127.0.0.1:18080/pg/index.html|^http://127\\.0\\.0\\.1:18080/pg/"
single_rate=$last_rate
[ "$only" = single ] && exit 0

# 4. Five hosts: the same site on 127.0.0.2 to 127.0.0.6, five sources.
mkdir -p "$work/nginx"
{
    echo "worker_processes 2; pid $work/nginx/nginx.pid; error_log $work/nginx/error.log warn;"
    echo "events { worker_connections 1024; }"
    echo "http { include /etc/nginx/mime.types; default_type application/octet-stream;"
    echo "  access_log off; sendfile on; tcp_nodelay on; keepalive_requests 1000000;"
    for d in body proxy fastcgi uwsgi scgi; do echo "  ${d}_temp_path $work/nginx/$d;" | sed 's/body_temp/client_body_temp/'; done
    echo "  server {"
    for i in 2 3 4 5 6; do echo "    listen 127.0.0.$i:$port;"; done
    echo "    location = /robots.txt { return 200 \"User-agent: *\\nDisallow:\\n\"; }"
    echo "    location /pg/ { alias $manual/; }"
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
echo "speed-up of five hosts over one: $(awk -v a="$single_rate" -v b="$last_rate" \
    'BEGIN { printf "%.2f", b / a }')"
