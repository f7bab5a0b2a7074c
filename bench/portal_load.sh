#!/usr/bin/env bash
# portal_load.sh: result pages of the portal against REST searches, with the same queries on the
# same index in the same run. Crawls the corpus as bench/rest_load.sh does, then, with the
# daemon's default settings, runs wrk over the corpus's queries against
#   REST                    GET /index/1?q=...                 titles (REST's default)
#   REST with contexts      GET /index/1?q=...&info=context    titles and contexts
#   portal                  GET /en/index.html?q=...&a=1       the default portal's result page
#                                                              (it shows contexts)
#   portal without contexts GET /en/titles.html?q=...&a=1      the same page with rows that
#                                                              show no contexts
# and prints each portal rate as a share of the REST rate with the same information. The
# document root is a copy of the installed portal with the one extra page. Runs alternate
# (two rounds) so that a drift of the machine shows.
# Usage: bench/portal_load.sh [SECONDS_PER_RUN]
# Environment: see bench/lib/corpus_search.sh (CORPUS_DIR, CONNECTIONS).
# SPDX-License-Identifier: MIT
set -euo pipefail
seconds=${1:-15}
source "$(dirname "$0")/lib/corpus_search.sh"

bench_prepare
crawl_corpus
cp -r "$deploy/portal" "$work/portal"
sed 's/^result_row: row.tmpl$/result_row: row_titles.tmpl/' "$work/portal/en/index.html.special" \
    > "$work/portal/en/titles.html.special"
grep -v '{=ctx=}' "$work/portal/en/row.tmpl" > "$work/portal/en/row_titles.tmpl"
configure 5 1
echo "PORTAL_DOCS=$work/portal" >> "$work/vantorell.conf"
start_daemon

runs=("REST:/index/1?q=%s"
      "REST with contexts:/index/1?q=%s&info=context"
      "portal:/en/index.html?q=%s&a=1"
      "portal without contexts:/en/titles.html?q=%s&a=1")
# Both portal pages must hold results, or the comparison means nothing.
for page in index titles; do
    body=$(curl -fs "http://127.0.0.1:$port/en/$page.html?q=vacuum&a=1")
    grep -q 'class="result"' <<< "$body" || { echo "/en/$page.html shows no results" >&2; exit 1; }
done
for run in "${runs[@]}"; do warm_up "${run#*:}"; done

declare -A rates
for round in 1 2; do
    for run in "${runs[@]}"; do
        label=${run%%:*}
        out=$(run_queries "$label (round $round)" "${run#*:}")
        echo "$out"
        rates[$label]="${rates[$label]:-} $(sed -n 's/^Requests\/sec: *//p' <<< "$out")"
    done
done
stop_daemon
python3 - "${rates[REST]}" "${rates[REST with contexts]}" "${rates[portal]}" \
    "${rates[portal without contexts]}" <<'PY'
import sys
rest, rest_ctx, portal, portal_titles = (
    sum(map(float, a.split())) / len(a.split()) for a in sys.argv[1:])
print("== summary (requests/s, mean of the rounds)")
print(f"REST:                    {rest:8.1f}")
print(f"REST with contexts:      {rest_ctx:8.1f}")
print(f"portal:                  {portal:8.1f}   {100 * portal / rest_ctx:5.1f} % of REST with contexts")
print(f"portal without contexts: {portal_titles:8.1f}   {100 * portal_titles / rest:5.1f} % of REST")
PY
