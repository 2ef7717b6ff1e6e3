# shellcheck shell=bash
# Helpers shared by the bench/*.sh comparisons; sourced, not run.

now() { date +%s.%N; }
# A over B with four decimals; 0 when B is 0.
div() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", (b > 0 ? a / b : 0) }'; }
# N times SCALE, at least 1 (SCALE is the caller's variable).
count() { awk -v n="$1" -v s="${scale:-1}" 'BEGIN { c = int(n * s); print (c < 1 ? 1 : c) }'; }

# Waits until the two files hold the same bytes: "wait_same A B SECONDS".
wait_same() {
    local deadline
    deadline=$(awk -v t="$(now)" -v s="$3" 'BEGIN { printf "%.3f", t + s }')  # print would round to 6 digits
    until cmp -s "$1" "$2"; do
        if awk -v t="$(now)" -v d="$deadline" 'BEGIN { exit !(t > d) }'; then return 1; fi
        sleep 0.1
    done
}

# Background services started by a bench, each in its own process group so
# that stopping one also stops the copiers it spawned.
bench_pids=()
start_service() {  # LOG COMMAND...: sets $service_pid
    local log=$1
    shift
    setsid "$@" > "$log" 2>&1 < /dev/null &
    service_pid=$!
    bench_pids+=("$service_pid")
}
# Running and not yet a zombie (a child stays in /proc until it is waited for).
alive() {
    local state
    state=$(sed -n 's/^.*) \(.\).*/\1/p' "/proc/$1/stat" 2> /dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}
# SIGTERM to the group, then SIGKILL if it is still there after 20 s.
stop_service() {  # PID
    local pid=$1 i
    kill -TERM -- "-$pid" 2> /dev/null || return 0
    for ((i = 0; i < 200; i++)); do
        alive "$pid" || break
        sleep 0.1
    done
    kill -KILL -- "-$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
}
stop_all_services() {
    local pid
    for pid in "${bench_pids[@]}"; do stop_service "$pid"; done
    bench_pids=()
}

# A registry of the bench's own under WORK, with a link key: the tools then
# neither read nor change the machine's, and a tail has its secret.
flr_bench_registry() {  # FLR WORK
    export FLR_REGISTRY="$2/flr.ini"
    printf '[Platform]\ndInstall = %s\n' "$2/install" > "$FLR_REGISTRY"
    chmod 600 "$FLR_REGISTRY"
    mkdir -p "$2/install"
    "$1" link keygen "$2/link.key" > /dev/null
    "$1" registry set ZRP sLinkSecretFile "$2/link.key" > /dev/null
}
