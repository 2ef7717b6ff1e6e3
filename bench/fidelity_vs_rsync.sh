#!/usr/bin/env bash
# What a replica keeps, against rsync on the same machine.
#   bench/fidelity_vs_rsync.sh [BUILD] [SCALE]
# First an aspect table: one small tree holding every aspect `rsync -aHAXS
# --numeric-ids` keeps (hard-link group, sparse file, user.* attribute,
# access and default ACL, nanosecond times, setuid bit, FIFO, a link's own
# time, awkward names; as root also a device node, owners and trusted.* on
# a file and on a link)
# copied by rsync, by `flr replicate` to a local folder, to a network tail
# (`flr tail` on loopback) and, as root, by `flr replicate --watch` with the
# tree made while watched; each aspect checked with stat, getfattr and
# getfacl and printed kept or lost per copy (ASPECTS=0 skips it).
# Then sparse files: one large file of mostly holes copied by `flr replicate`
# (every method) and by `rsync -aS`, warm cache.
# SCALE (default 1) multiplies the file: 1 = an 8 GiB file holding 64 MiB of
# data in 64 extents spread over it (0.01 for a quick run). METHODS (default
# "full md5 rsync lbfs") picks flr's methods.
# Prints per copy its time, the bytes on the wire (flr: wire_bytes of its
# --json summary; rsync: bytes sent + received of --stats) and the replica's
# allocated size, then the ratios flr/rsync (lower is better for flr).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
. "$here/lib.sh"
# shellcheck source=bench/fidelity_aspects.sh
. "$here/fidelity_aspects.sh"
build=${1:-build}
scale=${2:-1}
flr="$build/flr"
work=$(mktemp -d /tmp/flr-bench-fidelity.XXXXXX)
trap 'stop_all_services; rm -rf "$work"' EXIT
allocated() { echo $(($(stat -c %b "$1") * $(stat -c %B "$1"))); }

if [ "${ASPECTS:-1}" != 0 ]; then
    aspect_table "$flr" "$work/aspects"
    stop_all_services
    rm -rf "$work/aspects"
fi

# %.0f, not %d: mawk clamps %d at 2^31 - 1, which made the 8 GiB file 2 GiB.
size=$(awk -v s="$scale" 'BEGIN { printf "%.0f", 8 * 1024 * 1024 * 1024 * s }')
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
