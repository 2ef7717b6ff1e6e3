#!/usr/bin/env bash
# flr replicate against rsync on the same trees, same machine, warm cache.
#   bench/replicate_vs_rsync.sh [BUILD] [SCALE]
# SCALE (default 1) multiplies the file counts: 1 = 1,000 x 1 MiB and
# 100,000 x 4 KiB. Prints one line per case (times, bytes on the wire) and
# the ratios flr/rsync last (lower is better for flr). STREAMS (default
# "1 2 4") lists the --streams counts of the small-file full copy; each gets a
# fresh destination, and the last one is re-run unchanged. CASES (default
# "big small") picks the 1 MiB cases, the 4 KiB cases or both. RESYNC (default
# "auto md5 rsync") lists the --method values of the resync, each into its own
# copy of the replica (made whole by an untimed run before the change).
# CASES may also name "real" and "net", which share one copy of a real tree
# (REAL_TREE, default /usr/share):
#   real: full copies into fresh local destinations by flr, `rsync -a`,
#         `rsync -a --fsync` and `cp -a`, ROUNDS (default 2) rounds, each
#         round alternating which tool goes first; the lowest time counts.
#   net:  full copies over loopback: flr to a `flr tail` (authenticated,
#         --encrypt, --encrypt --streams 4) against `rsync -a -e ssh` to an
#         sshd the script starts on a free port with throw-away keys.
# Then one change to the tree (every 100th file appended to, the largest
# top-level folder under RENAME_MAX_MB (150) renamed, 200 new files), and
# each tool's last copy is resynced: flr --method auto against `rsync -a`.
# Work goes to a folder under TMPDIR: a fresh file system gives steadier
# figures (an ext4 without a journal slows down creates after big removals).
set -euo pipefail
build=${1:-build}
scale=${2:-1}
flr="$build/flr"
work=$(mktemp -d "${TMPDIR:-/tmp}/flr-bench-rep.XXXXXX")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
. "$here/lib.sh"
trap 'stop_all_services; rm -rf "$work"' EXIT

# flr's time and wire bytes for one run: "SECONDS BYTES".
run_flr() {
    local t0 t1 json
    t0=$(now)
    json=$("$flr" replicate -q --json --state-dir "${flr_state:-$work/state}" "$@")
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
report() {  # NAME FLR RSYNC
    read -r ft fb <<<"$2"
    read -r rt rb <<<"$3"
    printf '%-34s flr %8.2f s %14s B   rsync %8.2f s %14s B   ratio %.2f\n' "$1" "$ft" "$fb" "$rt" "$rb" \
        "$(awk -v a="$ft" -v b="$rt" 'BEGIN { print (b > 0 ? a / b : 0) }')"
    ratios+=("$1=$(awk -v a="$ft" -v b="$rt" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')")
}
ratios=()

big=$(count 1000)
if [[ " ${CASES:-big small} " == *" big "* ]]; then
echo "== generating $big x 1 MiB"
mkdir -p "$work/big"
for i in $(seq 1 "$big"); do head -c 1048576 /dev/urandom > "$work/big/f$i"; done
cat "$work/big"/* > /dev/null
sleep 1  # later runs compare whole seconds: the tree must be older than the first run
report "1 full copy ${big} x 1 MiB" "$(run_flr --method full "$work/big" "$work/flr-big")" \
    "$(run_rsync "$work/big/" "$work/rsync-big/")"

resync=(${RESYNC:-auto md5 rsync})
for m in "${resync[@]:1}"; do
    cp -a "$work/flr-big" "$work/flr-big-$m"
    run_flr --method "$m" "$work/big" "$work/flr-big-$m" > /dev/null
done

echo "== one 10 KiB change per file"
sleep 1
for i in $(seq 1 "$big"); do
    head -c 10240 /dev/urandom | dd of="$work/big/f$i" bs=10240 seek=$((i % 100)) conv=notrunc status=none
done
rsync_resync=$(run_rsync --no-whole-file "$work/big/" "$work/rsync-big/")
report "3 resync 10 KiB/file, ${resync[0]}" \
    "$(run_flr --method "${resync[0]}" "$work/big" "$work/flr-big")" "$rsync_resync"
for m in "${resync[@]:1}"; do
    report "3 resync 10 KiB/file, $m" "$(run_flr --method "$m" "$work/big" "$work/flr-big-$m")" \
        "$rsync_resync"
done
report "4 unchanged re-run (big files)" "$(run_flr --method auto "$work/big" "$work/flr-big")" \
    "$(run_rsync --no-whole-file "$work/big/" "$work/rsync-big/")"
rm -rf "$work/big" "$work/flr-big"* "$work/rsync-big"
fi

small=$(count 100000)
if [[ " ${CASES:-big small} " == *" small "* ]]; then
echo "== generating $small x 4 KiB in $(( (small + 999) / 1000 )) folders"
mkdir -p "$work/small"
head -c $((small * 4096)) /dev/urandom | split -a 6 -b 4096 - "$work/small/f"
# One mv per folder, not per file: the tree is ready in seconds.
(cd "$work/small" && ls | split -l 1000 - "$work/names." &&
    i=0 && for list in "$work"/names.*; do
        mkdir "d$i" && xargs -a "$list" mv -t "d$i" && i=$((i + 1))
    done && rm -f "$work"/names.*)
sleep 1
rsync_small=$(run_rsync "$work/small/" "$work/rsync-small/")
for streams in ${STREAMS:-1 2 4}; do
    report "2 full copy ${small} x 4 KiB, ${streams} st" \
        "$(run_flr --method full --streams "$streams" "$work/small" "$work/flr-small-$streams")" \
        "$rsync_small"
    last=$streams
done
report "4 unchanged re-run (small files)" \
    "$(run_flr --method auto --streams "$last" "$work/small" "$work/flr-small-$last")" \
    "$(run_rsync "$work/small/" "$work/rsync-small/")"
"$flr" verify "$work/small" "$work/flr-small-$last" > /dev/null
fi

if [[ " ${CASES:-big small} " == *" real "* || " ${CASES:-big small} " == *" net "* ]]; then
    # shellcheck source=bench/replicate_real_tree.sh
    . "$here/replicate_real_tree.sh"
fi

echo "ratios (flr time / rsync time): ${ratios[*]}"
