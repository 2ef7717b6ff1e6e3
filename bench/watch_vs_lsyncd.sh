#!/usr/bin/env bash
# Continuous replication against lsyncd (inotify + rsync), both copying to a
# folder on this machine, one after the other on fresh trees:
#   bench/watch_vs_lsyncd.sh [BUILD]
# 1) latency: one new small file every INTERVAL_MS (10) for DURATION seconds
#    (60); p50 / p99 / max from the close on the source to identical bytes in
#    the copy, and how many never arrived within the run + GRACE seconds (10);
# 2) burst: BURST_DIRS (100) x BURST_FILES (1000) small files created as fast
#    as possible; time until every one is identical in the copy, then a verify.
#    The same workload also runs alone into a fresh folder just before the
#    tool starts: its time under the tool over that says how much the watcher
#    slows the writer. Each watcher's CPU (user + system, with the children
#    it reaped: lsyncd's rsyncs) covers its whole run, initial copy included.
# 3) start and restart: a tree of RESTART_DIRS (100000, 0 skips) folders of 2
#    small files; the time from launch until the copy is complete, then, after
#    a clean stop, one file changed while stopped and one made just after the
#    relaunch: the time until both are in the copy, and when the second came.
# lsyncd runs default.rsync with delay = 0 (its lowest) and archive on, so its
# copy keeps modes and times like flr's; flr runs `flr replicate --watch`;
# flr-tail runs the same watch into a `flr tail` on loopback, a process of its
# own (whose CPU is reported apart). The flr tools use a private registry.
# TOOLS (default "lsyncd flr flr-tail") picks the tools, CASES="live" or
# "restart" one part; the restart part runs lsyncd and flr only. Ratios last:
# workload under each tool / alone (target <= 1.25); flr and flr-tail / lsyncd
# for p99 (target < 1), burst identical (target <= 0.5) and CPU.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
. "$here/lib.sh"
build=${1:-build}
duration=${DURATION:-60}
interval_ms=${INTERVAL_MS:-10}
grace=${GRACE:-10}
burst_dirs=${BURST_DIRS:-100}
burst_files=${BURST_FILES:-1000}
base_files=${BASE_FILES:-1000}
restart_dirs=${RESTART_DIRS:-100000}
cases=${CASES:-live restart}  # "live" is 1) and 2), "restart" is 3)
tools=${TOOLS:-lsyncd flr flr-tail}
flr="$build/flr"
work=$(mktemp -d "${TMPDIR:-/tmp}/flr-bench-watch.XXXXXX")
cleanup() {
    stop_all_services
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
ticks=$(getconf CLK_TCK)

if ! command -v lsyncd > /dev/null; then
    echo "== lsyncd missing: apt-get install -y lsyncd"
    apt-get install -y lsyncd > "$work/apt.log" 2>&1 || {
        apt-get update > /dev/null && apt-get install -y lsyncd > "$work/apt.log" 2>&1
    }
fi

# The probe writes and watches in one process; built by the bench target, or
# here when the build has no benchmarks.
probe="$build/latency_probe"
if [ ! -x "$probe" ]; then
    probe="$work/latency_probe"
    "${CXX:-c++}" -std=c++20 -O2 -o "$probe" "$here/latency_probe.cpp"
fi

flr_has_watch() { [ -x "$flr" ] && "$flr" replicate --help 2>&1 | grep -q -- '--watch'; }

# A registry of the bench's own, so that the tail keeps its journal state
# under $work.
if [ -x "$flr" ]; then flr_bench_registry "$flr" "$work"; fi

seed_tree() {  # DIR: a modest tree already there, as a real source has
    mkdir -p "$1/base" "$1/lat"
    head -c $((base_files * 4096)) /dev/urandom | (cd "$1/base" && split -a 5 -b 4096 - f)
}

start_lsyncd() {  # SRC DST LOG
    cat > "$work/lsyncd.lua" <<EOF
settings { nodaemon = true }
sync { default.rsync, source = "$1", target = "$2", delay = 0,
       rsync = { archive = true } }
EOF
    start_service "$3" lsyncd "$work/lsyncd.lua"
}
start_flr() {  # SRC DST LOG
    start_service "$3" "$flr" replicate "$1" "$2" --watch --state-dir "$work/flr-state"
}
# The tail's root is DST's parent; sets tail_pid and tail_proc besides.
start_flr_tail() {  # SRC DST LOG
    local root i port=""
    root=$(dirname "$2")
    start_service "$3.tail" "$flr" tail --listen 127.0.0.1:0 --root "$root" --store "$work/flr-store"
    tail_pid=$service_pid
    for ((i = 0; i < 200; i++)); do
        port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$3.tail" 2> /dev/null | head -n 1) || true
        [ -z "$port" ] || break
        sleep 0.1
    done
    [ -n "$port" ] || { echo "flr-tail: the tail did not start: $(cat "$3.tail")" >&2; return 1; }
    tail_proc=$(service_proc "$tail_pid" "$flr")
    start_service "$3" "$flr" replicate "$1" "127.0.0.1:$port:$2" --watch --state-dir "$work/flr-state"
}

# The process a service runs as: setsid runs the command in place unless it
# had to fork, and then the command is its child.
service_proc() {  # PID PROGRAM
    local exe pid=$1
    exe=$(readlink -f "$2")
    [ "$(readlink "/proc/$pid/exe" 2> /dev/null)" = "$exe" ] ||
        pid=$(cut -d' ' -f1 "/proc/$1/task/$1/children" 2> /dev/null || true)
    if [ -n "$pid" ] && [ "$(readlink "/proc/$pid/exe" 2> /dev/null)" = "$exe" ]; then
        echo "$pid"
    else
        echo "no $exe process under $1: its CPU is not read" >&2
    fi
}
# CPU seconds of a running process: user + system, its own (all threads) and
# those of the children it waited for, which is where lsyncd's rsyncs land.
# Empty when it can't be read.
cpu_s() {  # PID
    [ -n "$1" ] || return 0
    sed 's/^.*) //' "/proc/$1/stat" 2> /dev/null |
        awk -v t="$ticks" '{ printf "%.2f", ($12 + $13 + $14 + $15) / t }' || true
}

# Two markers: the first may come across with the initial copy, the second
# only through the live path once the initial copy is over.
wait_ready() {  # SRC DST TOOL
    local m
    for m in ready1 ready2; do
        date +%s.%N > "$1/$m"
        if ! wait_same "$1/$m" "$2/$m" 600; then
            echo "$3: the initial copy did not finish within 600 s" >&2
            return 1
        fi
    done
}

# What the tool said about lost events: lsyncd logs an inotify queue
# overflow and then rescans everything; flr counts its resyncs (smart-sync
# scans after an overflow or a lost journal) in its stop line. Read after the
# tool stopped.
overflowed() {  # TOOL LOG
    local n
    if [ "$1" = lsyncd ]; then
        n=$(grep -ci 'overflow' "$2" || true)
        if [ "$n" -gt 0 ]; then echo "yes ($n overflow lines)"; else echo "no overflow"; fi
    else
        n=$(grep -o '[0-9]* resyncs' "$2" | tail -n 1 | cut -d' ' -f1)
        echo "${n:-unknown} resyncs"
    fi
}

# The copy may still be settling when its bytes are identical (attributes,
# a resync's scan resending what is already there, under temporary names):
# flr verify is tried again for up to a minute.
verify_copy() {  # SRC DST: flr verify when built (bytes and metadata), else diff -r
    if [ -x "$flr" ]; then
        local i
        for ((i = 0; i < 60; i++)); do
            if "$flr" verify "$1" "$2" > "$work/verify.out" 2>&1; then
                echo "flr verify clean$( ((i == 0)) || echo " after $i s more")"
                return
            fi
            sleep 1
        done
        echo "flr verify differs: $(tail -n 3 "$work/verify.out" | tr '\n' ' ')"
    elif diff -r -q "$1" "$2" > "$work/diff.out" 2>&1; then
        echo "same bytes (diff -r; no flr built to compare metadata)"
    else
        echo "copy differs: $(head -n 3 "$work/diff.out" | tr '\n' ' ')"
    fi
}

kv() { sed -n "s/.*\\b$2=\\([^ ]*\\).*/\\1/p" <<<"$1"; }  # LINE KEY

# A over B, or n/a when a figure is missing, B is 0 or a run never got
# there (the probe's -1).
ratio() {  # A B [DECIMALS]
    awk -v a="$1" -v b="$2" -v d="${3:-4}" 'BEGIN {
        if (a !~ /^[0-9.]+$/ || b !~ /^[0-9.]+$/ || b == 0) print "n/a"; else printf "%." d "f\n", a / b }'
}

declare -A p99 burst started restarted arrived alone workload cpu
run_tool() {  # TOOL
    local tool=$1 src="$work/$1-src" dst="$work/$1-dst" log="$work/$1.log"
    [ "$tool" != flr-tail ] || dst="$work/flr-tail-root/dst"
    mkdir -p "$src" "$dst"
    seed_tree "$src"

    # The burst with nothing watching, its copy being itself. Before the
    # tool starts rather than next to its burst: flr's fanotify mark covers
    # the whole filesystem, so it would see (and filter) these writes too.
    local a
    mkdir "$work/alone"
    a=$("$probe" burst "$work/alone" "$work/alone" "$burst_dirs" "$burst_files" 600 || true)
    alone[$tool]=$(kv "$a" create_s)
    rm -rf "$work/alone"
    sync  # its write-back and removal stay out of the tool's run

    "start_${tool//-/_}" "$src" "$dst" "$log"
    local pid=$service_pid proc
    proc=$(service_proc "$pid" "$([ "$tool" = lsyncd ] && command -v lsyncd || echo "$flr")")
    wait_ready "$src" "$dst" "$tool"

    echo "== $tool: latency, 1 file / ${interval_ms} ms for ${duration} s"
    local lat
    lat=$("$probe" latency "$src/lat" "$dst/lat" "$duration" "$interval_ms" "$grace" || true)
    echo "$tool latency: $lat"
    p99[$tool]=$(kv "$lat" p99_ms)

    echo "== $tool: burst, $burst_dirs x $burst_files files"
    local b
    b=$("$probe" burst "$src" "$dst" "$burst_dirs" "$burst_files" 600 || true)
    echo "$tool burst: $b"
    burst[$tool]=$(kv "$b" identical_s)
    workload[$tool]=$(kv "$b" create_s)
    echo "$tool burst: $(verify_copy "$src" "$dst")"
    local used tused=""
    cpu[$tool]=$(cpu_s "$proc")
    used="watcher ${cpu[$tool]:-?} s"
    stop_service "$pid"
    if [ "$tool" = flr-tail ]; then
        tused=$(cpu_s "$tail_proc")
        used="watch ${cpu[$tool]:-?} s, tail ${tused:-?} s"
        stop_service "$tail_pid"
        # The two processes together, for the ratio against lsyncd.
        [ -z "${cpu[$tool]}" ] || [ -z "$tused" ] ||
            cpu[$tool]=$(awk -v a="${cpu[$tool]}" -v b="$tused" 'BEGIN { printf "%.2f", a + b }')
    fi
    echo "$tool burst: workload ${workload[$tool]:-?} s (alone ${alone[$tool]:-?} s," \
        "$(ratio "${workload[$tool]}" "${alone[$tool]}" 2)x), identical after ${burst[$tool]:-?} s; CPU: $used"
    echo "$tool: $(overflowed "$tool" "$log")"
    rm -rf "$src" "$work/$tool-dst" "$work/flr-tail-root" "$work/flr-state" "$work/flr-store"
}

echo "== $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), lsyncd $(lsyncd --version | sed -n 's/Version: //p')"
ran=()
for tool in $tools; do
    if [[ "$tool" == flr* ]] && ! flr_has_watch; then
        echo "== $tool: $flr has no replicate --watch: $tool side not measured"
        continue
    fi
    if [[ " $cases " == *" live "* ]]; then run_tool "$tool"; fi
    ran+=("$tool")
done
# DIRS folders of 2 files of 64 bytes, made once per tool.
make_folders() {  # DIR DIRS
    python3 - "$1" "$2" <<'PY'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for d in range(n):
    folder = os.path.join(root, "d%03d" % (d // 1000), "e%06d" % d)
    os.makedirs(folder)
    for f in range(2):
        with open(os.path.join(folder, "f%d" % f), "wb") as fh:
            fh.write(os.urandom(64))
PY
}

restart_tool() {  # TOOL
    local tool=$1 src="$work/$1-rsrc" dst="$work/$1-rdst" log="$work/$1-r.log" t0 t1 pid
    mkdir -p "$src" "$dst"
    make_folders "$src" "$restart_dirs"
    sync
    t0=$(now)
    "start_$tool" "$src" "$dst" "$log"
    pid=$service_pid
    wait_ready "$src" "$dst" "$tool"
    started[$tool]=$(awk -v a="$t0" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
    # A watch that ran a while: flr has recorded a point the replica held
    # every change at (lsyncd keeps no such point).
    if [ "$tool" = flr ]; then
        for _ in $(seq 1 120); do
            "$flr" status --state-dir "$work/flr-state" "$src" "$dst" --json 2> /dev/null |
                grep -q '"consistent_at":[1-9]' && break
            sleep 1
        done
    fi
    stop_service "$pid"
    echo "changed while stopped" >> "$src/d050/e050000/f0"
    t1=$(now)
    "start_$tool" "$src" "$dst" "$log.2"
    pid=$service_pid
    sleep 0.5
    date +%s.%N > "$src/d099/after-launch"
    wait_same "$src/d099/after-launch" "$dst/d099/after-launch" 600 || echo "$tool: the change after launch did not arrive" >&2
    arrived[$tool]=$(awk -v a="$t1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a - 0.5 }')
    wait_same "$src/d050/e050000/f0" "$dst/d050/e050000/f0" 600 || echo "$tool: the change while stopped did not arrive" >&2
    restarted[$tool]=$(awk -v a="$t1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
    echo "$tool start+restart ($restart_dirs folders): complete after ${started[$tool]} s;" \
        "restart complete after ${restarted[$tool]} s, the change after launch arrived after ${arrived[$tool]} s"
    stop_service "$pid"
    rm -rf "$src" "$dst" "$work/flr-state"
}
if [ "$restart_dirs" -gt 0 ] && [[ " $cases " == *" restart "* ]]; then
    # A tail changes nothing about how the head starts and catches up.
    for tool in "${ran[@]}"; do [ "$tool" = flr-tail ] || restart_tool "$tool"; done
fi

echo "== load after: $(cut -d' ' -f1-3 /proc/loadavg)"
w=""
for tool in "${ran[@]}"; do
    [ -z "${workload[$tool]:-}" ] || w+="${w:+, }$tool/alone $(ratio "${workload[$tool]}" "${alone[$tool]}")"
done
[ -z "$w" ] || echo "ratios: burst workload under $w (target <= 1.25)"
if [ -n "${p99[lsyncd]:-}" ] && [ -n "${p99[flr]:-}${p99[flr-tail]:-}" ]; then
    for tool in flr flr-tail; do
        [ -n "${p99[$tool]:-}" ] || continue
        echo "ratios: p99 $tool/lsyncd $(ratio "${p99[$tool]}" "${p99[lsyncd]}") (target < 1)," \
            "burst identical $tool/lsyncd $(ratio "${burst[$tool]}" "${burst[lsyncd]}") (target <= 0.5)," \
            "CPU $tool/lsyncd $(ratio "${cpu[$tool]}" "${cpu[lsyncd]}")"
    done
else
    echo "ratios: need lsyncd and flr or flr-tail (ran: ${ran[*]:-none})"
fi
if [ -n "${restarted[flr]:-}" ] && [ -n "${restarted[lsyncd]:-}" ]; then
    echo "ratios: start flr/lsyncd $(div "${started[flr]}" "${started[lsyncd]}")," \
        "restart flr/lsyncd $(div "${restarted[flr]}" "${restarted[lsyncd]}") (target <= 0.2)," \
        "change after launch arrived flr/lsyncd $(div "${arrived[flr]}" "${arrived[lsyncd]}")"
fi
