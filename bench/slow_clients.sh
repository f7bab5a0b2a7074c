#!/usr/bin/env bash
# slow_clients.sh: slow-client benchmark of the HTTP server. Starts a release build of the daemon
# on a fresh data directory with a few uploaded documents, then runs bench/slow_clients.py:
# 1,000 connections trickling request heads and 100 trickling upload bodies for SECONDS while a
# probe sends one search a second; it prints the probes answered (at least SECONDS - 2 are
# required) and the daemon's thread count, memory and descriptors.
# Usage: bench/slow_clients.sh [SECONDS [HEADS [BODIES]]]
# Environment: HTTP_TIMEOUT (default 5), HTTP_THREADS (default 5), INTERVAL (seconds between
# the bytes of a slow client, default 1), PROBE_WAIT (default 5).
# Everything runs on 127.0.0.1; the daemon is stopped at the end.
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
seconds=${1:-120}
heads=${2:-1000}
bodies=${3:-100}

# Both this script's clients and the daemon hold one descriptor per connection.
ulimit -n "$(ulimit -Hn)"

cmake --preset release > /dev/null
cmake --build --preset release -j 2 --target vantorelld worker-process idxserv > /dev/null
deploy=$top/build/release/deploy
work=$(mktemp -d -t vant-slowclients-XXXXXX)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
daemon_pid=""
cleanup() {
    if [ -n "$daemon_pid" ]; then kill -TERM "$daemon_pid" 2>/dev/null; wait "$daemon_pid" || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

cat > "$work/vantorell.conf" <<CONF
DATADIR=$work/data
DEPLOYDIR=$deploy
LOGCFG=LOG:INFO
HTTP_PORT=127.0.0.1:$port
HTTP_THREADS=${HTTP_THREADS:-5}
HTTP_TIMEOUT=${HTTP_TIMEOUT:-5}
FlushLatency=1
CONF
export MARLOVEN_CONFIG_FILE="$work/vantorell.conf"
# Archive 1 (its seed is never crawled) and a few documents to find.
mkdir -p "$work/records" "$work/data"
python3 tools/seed_archive.py "http://127.0.0.1:9/" "$work/records" > /dev/null
"$deploy/bin/vantorelld" /import "$work/records" > /dev/null
"$deploy/bin/vantorelld" &
daemon_pid=$!
for _ in $(seq 100); do curl -fs -o /dev/null "http://127.0.0.1:$port/platform/status" && break; sleep 0.1; done
for i in $(seq 20); do
    curl -fs -o /dev/null -H 'Content-Type: text/html' \
        --data-binary "<html><head><title>Page $i</title></head><body><p>A probe finds page $i.</p></body></html>" \
        "http://127.0.0.1:$port/index/1/doc?url=http://bench.example/page$i"
done
sleep 3  # one index flush

echo "HTTP_TIMEOUT=${HTTP_TIMEOUT:-5} HTTP_THREADS=${HTTP_THREADS:-5}; descriptor limit $(ulimit -n)"
python3 bench/slow_clients.py "$port" "$daemon_pid" "$seconds" "$heads" "$bodies"
