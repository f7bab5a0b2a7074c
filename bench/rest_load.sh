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
# Every query is logged in the database, so each one commits a transaction; under write-ahead
# logging SyncLevel 1 (the default) syncs only at checkpoints, and SyncLevel 0 shows what is left.
for setting in "5 1" "16 1" "5 0" "16 0"; do
    read -r threads sync <<< "$setting"
    configure "$threads" "$sync"
    start_daemon
    # One pass over the queries first, so that both runs find the index warm.
    warm_up "/index/1?q=%s"
    run_queries "REST search, HTTP_THREADS=$threads SyncLevel=$sync" "/index/1?q=%s"
    stop_daemon
done
run_wrk "nginx static page (ceiling)" "$site/small.html"
