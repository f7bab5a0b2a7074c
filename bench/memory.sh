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

# One line: each of the processes of rss_kib, its name and its anonymous and file-backed
# resident memory in MiB (a memory map of the database counts as file-backed).
rss_parts() {
    local p
    for p in "$1" $(pgrep -P "$1" || true); do
        awk -v name="$(cat "/proc/$p/comm" 2> /dev/null)" '
            /^RssAnon:/ { a = $2 } /^RssFile:/ { f = $2 }
            END { printf "%s %.0f+%.0f  ", name, a / 1024, f / 1024 }' "/proc/$p/status" 2> /dev/null
    done
    echo
}
