#!/bin/sh
# Runs the opsira tool over synthetic 2 MP photographs with -j 1 and -j 2 and prints one JSON line
# per job count: the median wall time of three runs, images per second, and CPU use (user + system
# time over wall time, so 2.0 means both cores busy throughout).
#   bench/batch.sh OPSIRA PHOTO_MAKER [COUNT]
set -eu
opsira=$1
photo_maker=$2
count=${3:-8}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$photo_maker" "$work/in" "$count" 1920 1080 jpg > /dev/null

# Prints "wall user system" in seconds for one run.
one_run() {
    rm -rf "$work/out"
    /usr/bin/time -f '%e %U %S' -o "$work/time" "$opsira" -j "$1" -q -o "$work/out" "$work"/in/*.jpg
    cat "$work/time"
}

for jobs in 1 2; do
    for run in 1 2 3; do
        one_run "$jobs"
    done | sort -n | sed -n 2p | awk -v jobs="$jobs" -v count="$count" '{
        printf "{\"jobs\": %d, \"images\": %d, \"wall_s\": %.2f, \"user_s\": %.2f, \"system_s\": %.2f, ", jobs, count, $1, $2, $3
        printf "\"images_per_s\": %.2f, \"cpu_use\": %.2f}\n", count / $1, ($2 + $3) / $1
    }'
done
