#!/usr/bin/env bash
# flr replicate against rsync -a on trees of many small files: full copy and
# unchanged re-run, time, peak memory and the state flr keeps for the pair.
#   bench/scale_vs_rsync.sh [BUILD] [COUNTS] [SINGLE]
# COUNTS (default "100000 300000 1000000"): trees of that many 64-byte files,
# 1,000 per folder. SINGLE (default 200000, 0 = skip): one folder of that many
# files. Each tree is made once and copied by both tools into fresh
# destinations on the same file system, warm cache. Lines per case, then the
# ratios flr/rsync (lower is better for flr) and flr's bytes of state per file.
set -euo pipefail
build=${1:-build}
counts=${2:-100000 300000 1000000}
single=${3:-200000}
flr="$build/flr"
work=$(mktemp -d /tmp/flr-bench-scale.XXXXXX)
trap 'rm -rf "$work"' EXIT
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

# "SECONDS PEAK_KB" of a command (its output dropped).
measure() {
    /usr/bin/time -f "%e %M" -o "$work/time" "$@" > /dev/null
    cat "$work/time"
}

# N files of 64 bytes in folders of PER (0: all in one folder).
make_tree() {  # DIR N PER
    python3 - "$1" "$2" "$3" <<'PY'
import os, sys
root, n, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
os.makedirs(root)
folder = root
for i in range(n):
    if per and i % per == 0:
        folder = os.path.join(root, "d%05d" % (i // per))
        os.mkdir(folder)
    with open(os.path.join(folder, "f%07d" % i), "wb") as f:
        f.write(os.urandom(64))
PY
}

ratios=()
run_case() {  # NAME N PER
    local name=$1 n=$2 per=$3 src="$work/src" r f rr fr state
    rm -rf "$work"/*
    make_tree "$src" "$n" "$per"
    sync
    r=$(measure rsync -a "$src/" "$work/rsync/")
    f=$(measure "$flr" replicate -q --state-dir "$work/state" "$src" "$work/flr")
    state=$(du -sb "$work/state" | cut -f1)
    rr=$(measure rsync -a "$src/" "$work/rsync/")
    fr=$(measure "$flr" replicate -q --state-dir "$work/state" "$src" "$work/flr")
    diff -r -q "$src" "$work/flr" > /dev/null || { echo "$name: the replica differs" >&2; exit 1; }
    read -r rt rmem <<<"$r"
    read -r ft fm <<<"$f"
    read -r rrt _ <<<"$rr"
    read -r frt frm <<<"$fr"
    printf '%-22s rsync %7.1f s %6d KB | flr %7.1f s %6d KB, state %d B | unchanged: rsync %.1f s, flr %.1f s %d KB\n' \
        "$name" "$rt" "$rmem" "$ft" "$fm" "$state" "$rrt" "$frt" "$frm"
    ratios+=("$(printf '%-22s full %s  unchanged %s  peak memory %d KB (rsync %d KB)  state %s B/file' \
        "$name" "$(div "$ft" "$rt")" "$(div "$frt" "$rrt")" "$fm" "$rmem" "$(div "$state" "$n")")")
}

for n in $counts; do run_case "$n files" "$n" 1000; done
if [ "$single" -gt 0 ]; then run_case "one folder of $single" "$single" 0; fi
echo "flr / rsync -a:"
printf '  %s\n' "${ratios[@]}"
