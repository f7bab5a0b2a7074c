#!/usr/bin/env bash
# rest_load.sh: load benchmark of REST searches. Crawls the PostgreSQL manual and the CMake
# documentation of the local corpus site (nginx on 127.0.0.1:18080; about 3,100 pages) into one
# archive of a fresh data directory, then runs wrk with the corpus's
# queries against GET /index/1?q=... with the request pool at its default size (5) and at 16
# threads, and, as the ceiling, against nginx serving the corpus's small static page.
# Usage: bench/rest_load.sh [SECONDS_PER_RUN]
# Environment: see bench/lib/corpus_search.sh (CORPUS_DIR, CONNECTIONS).
# Everything runs on 127.0.0.1; the daemon and nginx are stopped at the end.
# SPDX-License-Identifier: MIT
set -euo pipefail
seconds=${1:-15}
source "$(dirname "$0")/lib/corpus_search.sh"

bench_prepare
crawl_corpus
summary=()
# Every query is logged in the database, so each one commits a transaction; under write-ahead
# logging SyncLevel 1 (the default) syncs only at checkpoints, and SyncLevel 0 shows what is left.
for setting in "5 1" "16 1" "5 0" "16 0"; do
    read -r threads sync <<< "$setting"
    configure "$threads" "$sync"
    start_daemon
    # One pass over the queries first, so that both runs find the index warm.
    warm_up "/index/1?q=%s"
    run_queries "REST search, HTTP_THREADS=$threads SyncLevel=$sync" "/index/1?q=%s"
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
