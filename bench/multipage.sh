#!/bin/sh
# Levels a PDF of scanned pages with opsira --deskew -j 2, against the same pages as separate JPEG
# files, and prints one JSON line per input: of the run with the median wall time of RUNS runs, pages
# per second, the processor time (user + system; on a machine shared with other work the wall time
# swings with their load, the processor time much less) and the peak resident memory. A PDF of a quarter of the pages is run too: peak memory that does not
# grow with the page count shows the pages are streamed, not held.
#   bench/multipage.sh OPSIRA SCAN_MAKER [COUNT]    (RUNS=3 by default)
set -eu
opsira=$1
scan_maker=$2
count=${3:-100}
runs=${RUNS:-3}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$scan_maker" "$work/all" "$count"
"$scan_maker" "$work/quarter" $((count / 4))

# Prints "wall user system peak_kB" for one run of opsira on the given inputs.
one_run() {
    rm -rf "$work/out"
    /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$opsira" --deskew -j 2 -q -o "$work/out" "$@"
    cat "$work/time"
}

# One JSON line: the median run of `runs`.
measure() {
    label=$1
    pages=$2
    shift 2
    for run in $(seq "$runs"); do
        one_run "$@"
    done | sort -n | sed -n "$(((runs + 1) / 2))p" | awk -v label="$label" -v pages="$pages" '{
        printf "{\"input\": \"%s\", \"pages\": %d, \"wall_s\": %.2f, \"pages_per_s\": %.2f, ", label, pages, $1, pages / $1
        printf "\"cpu_s\": %.2f, \"pages_per_cpu_s\": %.2f, \"peak_MB\": %.0f}\n", $2 + $3, pages / ($2 + $3), $4 / 1024
    }'
}

measure "separate JPEG files" "$count" "$work"/all/pages/*.jpg
measure "one PDF" "$count" "$work/all/scans.pdf"
measure "one PDF, a quarter of the pages" $((count / 4)) "$work/quarter/scans.pdf"
