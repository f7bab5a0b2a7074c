#!/usr/bin/env bash
# soap_load.sh: SOAP against REST search on the same index in the same run. Crawls the
# PostgreSQL manual of the local corpus site (nginx on 127.0.0.1:18080; about 1,170 pages) into
# one archive of a fresh data directory, set up and crawled through vantorellctl, then runs
# vant_soap_bench (bench/soap_bench.cc): the corpus's queries through REST search and through the
# SOAP method Query, throughput and latency of each, and the rate of AddSource,
# GetSourceConfiguration and SetSourceConfiguration round trips. Prints the load (uptime) before
# and after, since the figures mean little on a busy machine.
# Usage: bench/soap_load.sh [SECONDS_PER_RUN [CONNECTIONS]]
# Environment: CORPUS_DIR, the corpus directory with setup.sh and queries.txt (default:
# shared/corpus beside the checkout); PRESET, the build (default bench, the release build with
# the benchmarks).
# Everything runs on 127.0.0.1; the daemon, and nginx when this script started it, are stopped at
# the end.
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
seconds=${1:-10}
connections=${2:-8}
corpus=${CORPUS_DIR:-$top/../shared/corpus}
preset=${PRESET:-bench}
site=http://127.0.0.1:18080

bench/setup
site_was_up=false
curl -fs -o /dev/null "$site/small.html" && site_was_up=true
bash "$corpus/setup.sh" start > /dev/null 2>&1 || bash "$corpus/setup.sh" > /dev/null
cmake --preset "$preset" > /dev/null
cmake --build --preset "$preset" -j 2 --target vantorelld worker-process idxserv vantorellctl \
    vant_soap_bench > /dev/null
build=$top/build/$preset
deploy=$build/deploy
ctl=$deploy/bin/vantorellctl
work=$(mktemp -d -t vant-soapload-XXXXXX)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
daemon_pid=""
cleanup() {
    if [ -n "$daemon_pid" ]; then kill -TERM "$daemon_pid" 2>/dev/null; wait "$daemon_pid" || true; fi
    rm -rf "$work"
    $site_was_up || bash "$corpus/setup.sh" stop > /dev/null
}
trap cleanup EXIT

mkdir -p "$work/data"
cat > "$work/vantorell.conf" <<CONF
DATADIR=$work/data
DEPLOYDIR=$deploy
LOGCFG=LOG:INFO
HTTP_PORT=127.0.0.1:$port
Throttling=0
CONF
export MARLOVEN_CONFIG_FILE="$work/vantorell.conf" VANTORELL_URL="http://127.0.0.1:$port"
unset VANTORELL_USER VANTORELL_PASSWORD_FILE
"$deploy/bin/vantorelld" &
daemon_pid=$!
for _ in $(seq 100); do "$ctl" version > /dev/null 2>&1 && break; sleep 0.1; done

# The index: the manual, crawled on demand only (no schedule).
"$ctl" source add --name pg --seed "$site/pg/index.html" --include '^http://127\.0\.0\.1:18080/pg/'
"$ctl" archive add --name pg --source 1 --frequency disabled
"$ctl" crawl start 1 --wait | tail -1

echo "load before: $(uptime)"
"$build/bench/vant_soap_bench" "$VANTORELL_URL" "$corpus/queries.txt" "$seconds" "$connections"
echo "load after: $(uptime)"
