#!/usr/bin/env bash
# The LBFS transfer (content-defined blocks the tail already holds travel as
# hashes) against rsync's delta on the same trees, same machine, warm cache.
#   bench/lbfs_vs_rsync.sh [BUILD] [SCALE] [REPEAT]
# SCALE (default 1) multiplies the file count: 1 = 1,000 x 1 MiB. REPEAT
# (default 2): renames measured, flr and rsync interleaved. Cases:
#   a) the tree renamed: flr --method lbfs vs rsync -a --no-whole-file;
#   b) 100 bytes inserted at the start of every file: lbfs vs rsync
#      --no-whole-file vs flr --method md5 (fixed blocks: every one shifts);
#   c) 10 KiB overwritten in the middle of every file (a resync): lbfs vs
#      flr --method rsync vs rsync --no-whole-file;
#   d) write intervals from the write-interval database (bench_wba, when
#      built with -DFLR_BUILD_BENCH=ON) against rsync --no-whole-file.
# Prints one line per case (times, bytes on the wire) and the ratios last
# (lbfs/rsync, lower is better for flr).
set -euo pipefail
build=${1:-build}
scale=${2:-1}
repeat=${3:-2}
flr="$build/flr"
work=$(mktemp -d /tmp/flr-bench-lbfs.XXXXXX)
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }
count() { awk -v n="$1" -v s="$scale" 'BEGIN { c = int(n * s); print (c < 1 ? 1 : c) }'; }
div() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", (b > 0 ? a / b : 0) }'; }

# flr's time and wire bytes for one run: "SECONDS BYTES". The state folder
# is per destination, so the md5 copy does not share the lbfs copy's store.
run_flr() {
    local dest=$1
    shift
    local t0 t1 json
    t0=$(now)
    json=$("$flr" replicate -q --json --state-dir "$dest.state" "$@")
    t1=$(now)
    echo "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }') $(sed 's/.*"wire_bytes":\([0-9]*\).*/\1/' <<<"$json")"
}
# rsync's time and bytes sent + received: "SECONDS BYTES".
run_rsync() {
    local t0 t1 out
    t0=$(now)
    out=$(rsync -a --delete --stats "$@")
    t1=$(now)
    local sent recv
    sent=$(sed -n 's/^Total bytes sent: \([0-9,]*\).*/\1/p' <<<"$out" | tr -d ,)
    recv=$(sed -n 's/^Total bytes received: \([0-9,]*\).*/\1/p' <<<"$out" | tr -d ,)
    echo "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }') $((sent + recv))"
}
line() {  # NAME "SECONDS BYTES", with the load average beside it (a shared machine)
    read -r t b <<<"$2"
    printf '%-44s %8.2f s %14s B  load %s\n' "$1" "$t" "$b" "$(cut -d' ' -f1 /proc/loadavg)"
}
ratios=()
ratio() {  # NAME "SECONDS BYTES" "SECONDS BYTES": time and wire ratios of the first over the second
    read -r at ab <<<"$2"
    read -r bt bb <<<"$3"
    ratios+=("$1: time $(div "$at" "$bt") wire $(div "$ab" "$bb")")
}

files=$(count 1000)
echo "== generating $files x 1 MiB"
mkdir -p "$work/src/tree"
for i in $(seq 1 "$files"); do head -c 1048576 /dev/urandom > "$work/src/tree/f$i"; done
cat "$work/src/tree"/* > /dev/null
# Later runs compare whole seconds, and the head caches block lists only of
# files unchanged for 2 s: the tree must be older than that at the first run.
sleep 3
line "first copy, flr --method lbfs" "$(run_flr "$work/lbfs" --method lbfs "$work/src" "$work/lbfs")"
line "first copy, flr --method md5" "$(run_flr "$work/md5" --method full "$work/src" "$work/md5")"
line "first copy, rsync" "$(run_rsync "$work/src/" "$work/rsync/")"

echo "== a) the tree renamed ($(uptime | sed 's/.*load/load/'))"
name=tree
for r in $(seq 1 "$repeat"); do
    mv "$work/src/$name" "$work/src/renamed$r"
    name=renamed$r
    a_lbfs=$(run_flr "$work/lbfs" --method lbfs "$work/src" "$work/lbfs")
    a_rsync=$(run_rsync --no-whole-file "$work/src/" "$work/rsync/")
    line "a) rename $r, flr --method lbfs" "$a_lbfs"
    line "a) rename $r, rsync --no-whole-file" "$a_rsync"
    ratio "a$r) lbfs/rsync (targets: time <= 0.3, wire <= 0.01)" "$a_lbfs" "$a_rsync"
done
a_md5=$(run_flr "$work/md5" --method md5 "$work/src" "$work/md5")
line "a) rename, flr --method md5" "$a_md5"

echo "== b) 100 bytes inserted at the start of every file"
sleep 1
for f in "$work/src/$name"/*; do
    { head -c 100 /dev/urandom; cat "$f"; } > "$f.new"
    mv "$f.new" "$f"
done
b_lbfs=$(run_flr "$work/lbfs" --method lbfs "$work/src" "$work/lbfs")
b_rsync=$(run_rsync --no-whole-file "$work/src/" "$work/rsync/")
b_md5=$(run_flr "$work/md5" --method md5 "$work/src" "$work/md5")
line "b) insert, flr --method lbfs" "$b_lbfs"
line "b) insert, rsync --no-whole-file" "$b_rsync"
line "b) insert, flr --method md5" "$b_md5"
ratio "b) lbfs/rsync (target: wire <= 1)" "$b_lbfs" "$b_rsync"
ratio "b) lbfs/md5" "$b_lbfs" "$b_md5"
"$flr" verify "$work/src" "$work/lbfs" > /dev/null
diff -r "$work/src" "$work/rsync" > /dev/null

echo "== c) 10 KiB overwritten in the middle of every file"
sleep 1
for f in "$work/src/$name"/*; do
    head -c 10240 /dev/urandom | dd of="$f" bs=10240 seek=50 conv=notrunc status=none
done
# flr --method rsync runs against its own copy (the md5 one, now current).
c_lbfs=$(run_flr "$work/lbfs" --method lbfs "$work/src" "$work/lbfs")
c_frs=$(run_flr "$work/md5" --method rsync "$work/src" "$work/md5")
c_rsync=$(run_rsync --no-whole-file "$work/src/" "$work/rsync/")
line "c) resync, flr --method lbfs" "$c_lbfs"
line "c) resync, flr --method rsync" "$c_frs"
line "c) resync, rsync --no-whole-file" "$c_rsync"
ratio "c) lbfs/rsync" "$c_lbfs" "$c_rsync"
ratio "c) lbfs/flr-rsync" "$c_lbfs" "$c_frs"
"$flr" verify "$work/src" "$work/lbfs" > /dev/null
if [ -x "$build/bench_wba" ]; then echo "== d) write intervals"; nice "$build/bench_wba" "$files" "$repeat"; fi
echo "ratios: ${ratios[*]}"
