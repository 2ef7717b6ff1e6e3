#!/usr/bin/env bash
# Sparse files: one large file of mostly holes copied by `flr replicate`
# (every method) and by `rsync -aS`, same machine, warm cache.
#   bench/fidelity_vs_rsync.sh [BUILD] [SCALE]
# SCALE (default 1) multiplies the file: 1 = an 8 GiB file holding 64 MiB of
# data in 64 extents spread over it (0.01 for a quick run). METHODS (default
# "full md5 rsync lbfs") picks flr's methods.
# Prints per copy its time, the bytes on the wire (flr: wire_bytes of its
# --json summary; rsync: bytes sent + received of --stats) and the replica's
# allocated size, then the ratios flr/rsync (lower is better for flr).
set -euo pipefail
build=${1:-build}
scale=${2:-1}
flr="$build/flr"
work=$(mktemp -d /tmp/flr-bench-fidelity.XXXXXX)
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }
div() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", (b > 0 ? a / b : 0) }'; }
allocated() { echo $(($(stat -c %b "$1") * $(stat -c %B "$1"))); }

size=$(awk -v s="$scale" 'BEGIN { printf "%d", 8 * 1024 * 1024 * 1024 * s }')
extent=$(awk -v s="$scale" 'BEGIN { e = int(1048576 * s / 4096) * 4096; print (e < 4096 ? 4096 : e) }')
extents=64
step=$((size / extents))

echo "== generating a $size-byte file with $extents x $extent bytes of data"
mkdir -p "$work/src"
file="$work/src/sparse"
: > "$file"
for i in $(seq 0 $((extents - 1))); do
    # The last extent ends the file: data at the very end.
    at=$((i * step + (i == extents - 1 ? step - extent : 0)))
    head -c "$extent" /dev/urandom | dd of="$file" bs=4096 seek=$((at / 4096)) conv=notrunc \
        status=none
done
truncate -s "$size" "$file"
if (($(allocated "$file") > size / 2)); then
    echo "the file system of $work keeps no holes: nothing to measure" >&2
    exit 1
fi
sleep 1  # later runs compare whole seconds: the tree must be older than the run

# "SECONDS WIRE_BYTES ALLOCATED"
run_flr() {
    local method=$1 dest=$2 t0 t1 json
    t0=$(now)
    json=$("$flr" replicate -q --json --method "$method" --state-dir "$dest.state" "$work/src" "$dest")
    t1=$(now)
    echo "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')" \
        "$(sed 's/.*"wire_bytes":\([0-9]*\).*/\1/' <<<"$json")" "$(allocated "$dest/sparse")"
}
run_rsync() {
    local dest=$1 t0 t1 out sent recv
    t0=$(now)
    out=$(rsync -aS --stats "$work/src/" "$dest/")
    t1=$(now)
    sent=$(sed -n 's/^Total bytes sent: \([0-9,]*\).*/\1/p' <<<"$out" | tr -d ,)
    recv=$(sed -n 's/^Total bytes received: \([0-9,]*\).*/\1/p' <<<"$out" | tr -d ,)
    echo "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }') $((sent + recv)) $(allocated "$dest/sparse")"
}
line() {  # NAME "SECONDS BYTES ALLOCATED"
    read -r t b a <<<"$2"
    printf '%-26s %8.2f s  wire %14s B  allocated %14s B  load %s\n' "$1" "$t" "$b" "$a" \
        "$(cut -d' ' -f1 /proc/loadavg)"
}

echo "source: $(allocated "$file") bytes allocated of $size"
rs=$(run_rsync "$work/rsync")
line "rsync -aS" "$rs"
cmp "$file" "$work/rsync/sparse"
read -r rt rb ra <<<"$rs"
ratios=()
for m in ${METHODS:-full md5 rsync lbfs}; do
    res=$(run_flr "$m" "$work/flr-$m")
    line "flr --method $m" "$res"
    cmp "$file" "$work/flr-$m/sparse"
    read -r ft fb fa <<<"$res"
    ratios+=("$m: time $(div "$ft" "$rt") wire $(div "$fb" "$rb") allocated $(div "$fa" "$ra")")
    rm -rf "$work/flr-$m" "$work/flr-$m.state"
done
echo "ratios (flr / rsync -aS):"
printf '  %s\n' "${ratios[@]}"
