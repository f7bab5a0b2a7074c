# memory.sh: sourced by the crawl benches: the resident memory of a daemon and its children.
# SPDX-License-Identifier: MIT

# The resident memory of process $1 and its children (workers, index server), in KiB.
rss_kib() {
    local total=0 p kib
    for p in "$1" $(pgrep -P "$1" || true); do
        kib=$(awk '/^VmRSS:/ { print $2 }' "/proc/$p/status" 2> /dev/null || true)
        total=$((total + ${kib:-0}))
    done
    echo "$total"
}
