#!/usr/bin/env bash
# Several heads into one tail: one `flr tail` on loopback serving four
# concurrent `flr replicate` runs of four distinct trees of FILES/4 files
# each, every run into its own destination under the tail's root, against
# one head replicating one tree of FILES files into the same kind of tail.
#   bench/heads_into_tail.sh [BUILD] [FILES]
# FILES (default 200000): 64-byte random files, 1,000 per folder. HEADS
# (default 4) sets the number of concurrent heads. ROUNDS (default 1) runs
# both cases that many times, alternating which goes first; the ratios take
# the lowest figure of each case. TAIL_NOFILE (default: as inherited) runs the
# tail under that soft open-file limit (1024 is systemd's default for a
# service). Each case gets a fresh tail, root and store; trees are made once,
# warm cache, and written back (sync) before each case. Lines per case: wall
# time (first start to last end), each head's time, the heads' CPU and peak
# memory, the tail's peak memory (VmHWM) and CPU (user + system); every
# replica is checked with `flr verify`. The ratios (several heads / one head)
# come last.
set -euo pipefail
build=${1:-build}
files=${2:-200000}
heads=${HEADS:-4}
flr="$build/flr"
work=$(mktemp -d /tmp/flr-bench-heads.XXXXXX)
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"
trap 'stop_all_services; rm -rf "$work"' EXIT
ticks=$(getconf CLK_TCK)

# N files of 64 bytes in folders of 1,000.
make_tree() {  # DIR N
    python3 - "$1" "$2" <<'PY'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
os.makedirs(root)
folder = root
for i in range(n):
    if i % 1000 == 0:
        folder = os.path.join(root, "d%05d" % (i // 1000))
        os.mkdir(folder)
    with open(os.path.join(folder, "f%07d" % i), "wb") as f:
        f.write(os.urandom(64))
PY
}

# Waits up to SECONDS for the tail's "listening on" line; prints its port.
tail_port() {  # LOG SECONDS
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        if grep -qs 'listening on 127.0.0.1:' "$1"; then
            sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$1" | head -1
            return 0
        fi
        sleep 0.1
    done
    echo "the tail did not start: $(cat "$1")" >&2
    return 1
}

# The tail's peak resident set (KB) and CPU seconds (user + system), read
# before it stops: "PEAK_KB CPU_S".
tail_usage() {  # PID
    local hwm cpu
    hwm=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status")
    # Fields 14 and 15 of stat, counted after the command's closing parenthesis.
    cpu=$(sed 's/^.*) //' "/proc/$1/stat" | awk -v t="$ticks" '{ printf "%.2f", ($12 + $13) / t }')
    echo "$hwm $cpu"
}

flr_bench_registry "$flr" "$work"

per=$((files / heads))
echo "== making 1 tree of $files and $heads trees of $per (64-byte files, 1,000 per folder)"
make_tree "$work/one" "$files"
for ((h = 1; h <= heads; h++)); do make_tree "$work/part$h" "$per"; done

# One case: a fresh tail, then the given trees replicated at once, each into
# root/<tree name>. Sets case_wall, case_mem, case_cpu. Every case keeps its
# own folder until the end: an ext4 without a journal reads each candidate
# inode to skip recently removed ones (58 % of the tail's CPU in a profile),
# so a case run just after another's 200,000 files were removed was slower by
# up to 3x whichever it was.
cases=0
run_case() {  # NAME TREE...
    local name=$1 c port pid t0 t1 tree usage rc=0 hcpu=0 hmem=0 times=()
    shift
    cases=$((cases + 1))
    c="$work/case$cases"
    mkdir -p "$c/root" "$c/state"
    sync
    local limit=()
    # exec keeps the pid: the tail is this process or setsid's child.
    [ -z "${TAIL_NOFILE:-}" ] || limit=(bash -c 'ulimit -Sn "$0" && exec "$@"' "$TAIL_NOFILE")
    start_service "$c/tail.log" "${limit[@]}" "$flr" tail --listen 127.0.0.1:0 --root "$c/root" \
        --store "$c/store"
    port=$(tail_port "$c/tail.log" 20)
    # setsid may have forked: the tail is then its child.
    pid=$service_pid
    [ "$(readlink "/proc/$pid/exe")" = "$(readlink -f "$flr")" ] ||
        pid=$(cat "/proc/$service_pid/task/$service_pid/children" 2> /dev/null | cut -d' ' -f1)
    [ "$(readlink "/proc/$pid/exe")" = "$(readlink -f "$flr")" ] ||
        { echo "no tail process under $service_pid" >&2; exit 1; }
    bench_pids+=("$pid")  # its own process group either way
    t0=$(now)
    local runs=()
    for tree in "$@"; do
        /usr/bin/time -f "%e %U %S %M" -o "$c/time.$tree" "$flr" replicate -q \
            --state-dir "$c/state" "$work/$tree" "127.0.0.1:$port:$c/root/$tree" \
            > "$c/out.$tree" 2>&1 &
        runs+=($!)
    done
    for p in "${runs[@]}"; do wait "$p" || rc=1; done
    t1=$(now)
    usage=$(tail_usage "$pid")
    stop_service "$pid"
    bench_pids=()
    for tree in "$@"; do
        if [ "$rc" != 0 ]; then echo "$name: $tree: $(tail -3 "$c/out.$tree")" >&2; fi
        "$flr" verify "$work/$tree" "$c/root/$tree" > "$c/verify.$tree" ||
            { echo "$name: the replica of $tree differs: $(tail -3 "$c/verify.$tree")" >&2; exit 1; }
        read -r e u s m < <(tail -1 "$c/time.$tree")
        times+=("$e")
        [ "$m" -le "$hmem" ] || hmem=$m
        hcpu=$(awk -v a="$hcpu" -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", a + u + s }')
    done
    [ "$rc" = 0 ] || { echo "$name: a run failed" >&2; exit 1; }
    case_wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
    read -r case_mem case_cpu <<<"$usage"
    printf '%-20s wall %6.2f s | heads %s s, CPU %s s, peak %d KB each at most | tail peak %d KB, CPU %s s | replicas same\n' \
        "$name" "$case_wall" "$(IFS=/; echo "${times[*]}")" "$hcpu" "$hmem" "$case_mem" "$case_cpu"
}

# The lowest of each figure over the rounds: "WALL PEAK_KB CPU_S".
best() {  # PREVIOUS WALL PEAK CPU
    if [ -z "$1" ]; then echo "$2 $3 $4"; return; fi
    read -r w m u <<<"$1"
    awk -v w="$w" -v m="$m" -v u="$u" -v w2="$2" -v m2="$3" -v u2="$4" \
        'BEGIN { print (w2 < w ? w2 : w), (m2 < m ? m2 : m), (u2 < u ? u2 : u) }'
}
trees=()
for ((h = 1; h <= heads; h++)); do trees+=("part$h"); done
one="" several=""
for ((r = 1; r <= ${ROUNDS:-1}; r++)); do
    # Alternating which case goes first spreads the machine's drift over both.
    for which in $( ((r % 2)) && echo "one several" || echo "several one"); do
        if [ "$which" = one ]; then
            run_case "1 head x $files" one
            one=$(best "$one" "$case_wall" "$case_mem" "$case_cpu")
        else
            run_case "$heads heads x $per" "${trees[@]}"
            several=$(best "$several" "$case_wall" "$case_mem" "$case_cpu")
        fi
    done
done
read -r ow om oc <<<"$one"
read -r sw sm sc <<<"$several"
echo "$heads heads / 1 head (lowest of ${ROUNDS:-1} round(s) each): wall $(div "$sw" "$ow")" \
    " tail peak memory $(div "$sm" "$om")  tail CPU $(div "$sc" "$oc")"
