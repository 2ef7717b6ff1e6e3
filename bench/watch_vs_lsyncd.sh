#!/usr/bin/env bash
# Continuous replication against lsyncd (inotify + rsync), both copying to a
# folder on this machine, one after the other on fresh trees:
#   bench/watch_vs_lsyncd.sh [BUILD]
# 1) latency: one new small file every INTERVAL_MS (10) for DURATION seconds
#    (60); p50 / p99 / max from the close on the source to identical bytes in
#    the copy, and how many never arrived within the run + GRACE seconds (10);
# 2) burst: BURST_DIRS (100) x BURST_FILES (1000) small files created as fast
#    as possible; time until every one is identical in the copy, then a verify.
# 3) start and restart: a tree of RESTART_DIRS (100000, 0 skips) folders of 2
#    small files; the time from launch until the copy is complete, then, after
#    a clean stop, one file changed while stopped and one made just after the
#    relaunch: the time until both are in the copy, and when the second came.
# lsyncd runs default.rsync with delay = 0 (its lowest) and archive on, so its
# copy keeps modes and times like flr's; flr runs `flr replicate --watch`.
# Set TOOLS="lsyncd" or "flr" for one side only, CASES="live" or "restart"
# for one part. Ratios last (flr / lsyncd:
# p99 target < 1, burst target <= 0.5).
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
tools=${TOOLS:-lsyncd flr}
flr="$build/flr"
work=$(mktemp -d /tmp/flr-bench-watch.XXXXXX)
cleanup() {
    stop_all_services
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

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

verify_copy() {  # SRC DST: flr verify when built (bytes and metadata), else diff -r
    if [ -x "$flr" ]; then
        if "$flr" verify "$1" "$2" > "$work/verify.out" 2>&1; then
            echo "flr verify clean"
        else
            echo "flr verify differs: $(tail -n 3 "$work/verify.out" | tr '\n' ' ')"
        fi
    elif diff -r -q "$1" "$2" > "$work/diff.out" 2>&1; then
        echo "same bytes (diff -r; no flr built to compare metadata)"
    else
        echo "copy differs: $(head -n 3 "$work/diff.out" | tr '\n' ' ')"
    fi
}

kv() { sed -n "s/.*\\b$2=\\([^ ]*\\).*/\\1/p" <<<"$1"; }  # LINE KEY

declare -A p99 burst started restarted arrived
run_tool() {  # TOOL
    local tool=$1 src="$work/$1-src" dst="$work/$1-dst" log="$work/$1.log"
    mkdir -p "$src" "$dst"
    seed_tree "$src"
    "start_$tool" "$src" "$dst" "$log"
    local pid=$service_pid
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
    echo "$tool burst: $(verify_copy "$src" "$dst")"
    stop_service "$pid"
    echo "$tool: $(overflowed "$tool" "$log")"
    rm -rf "$src" "$dst" "$work/flr-state"
}

echo "== $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), lsyncd $(lsyncd --version | sed -n 's/Version: //p')"
ran=()
for tool in $tools; do
    if [ "$tool" = flr ] && ! flr_has_watch; then
        echo "== flr: $flr has no replicate --watch: flr side not measured"
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
    for tool in "${ran[@]}"; do restart_tool "$tool"; done
fi

echo "== load after: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ -n "${p99[flr]:-}" ] && [ -n "${p99[lsyncd]:-}" ]; then
    echo "ratios: p99 flr/lsyncd $(div "${p99[flr]}" "${p99[lsyncd]}") (target < 1)," \
        "burst flr/lsyncd $(div "${burst[flr]}" "${burst[lsyncd]}") (target <= 0.5)"
else
    echo "ratios: need both tools (ran: ${ran[*]:-none})"
fi
if [ -n "${restarted[flr]:-}" ] && [ -n "${restarted[lsyncd]:-}" ]; then
    echo "ratios: start flr/lsyncd $(div "${started[flr]}" "${started[lsyncd]}")," \
        "restart flr/lsyncd $(div "${restarted[flr]}" "${restarted[lsyncd]}") (target <= 0.2)," \
        "change after launch arrived flr/lsyncd $(div "${arrived[flr]}" "${arrived[lsyncd]}")"
fi
