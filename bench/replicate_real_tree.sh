# shellcheck shell=bash
# The real-tree cases of bench/replicate_vs_rsync.sh ("real" and "net" in
# CASES); sourced by it, with its $flr, $work, run_flr, run_rsync and report.

wants() { [[ " ${CASES:-big small} " == *" $1 "* ]]; }
real="$work/real"
out="$work/out"
rounds=${ROUNDS:-2}
mkdir -p "$out"

echo "== copying ${REAL_TREE:-/usr/share} as the real tree"
cp -a "${REAL_TREE:-/usr/share}" "$real"
# Warm cache for every tool alike: the data read once, every inode stat'ed.
find "$real" -type f -exec cat {} + > /dev/null
read -r real_files real_bytes < <(find "$real" -type f -printf '%s\n' |
    awk '{ n++; b += $1 } END { print n + 0, b + 0 }')
echo "== real tree: $real_files files, $((real_bytes / 1048576)) MiB"
sleep 1  # the tree must be older than the first run: runs compare whole seconds

run_cp() {  # SRC DST: "SECONDS 0"
    local t0
    t0=$(now)
    cp -a "$1" "$2"
    echo "$(awk -v a="$t0" -v b="$(now)" 'BEGIN { print b - a }') 0"
}

# The lowest time of each tool over the rounds, with the bytes of that run.
declare -A best
keep() {  # NAME "SECONDS BYTES"
    local t b
    read -r t b <<<"$2"
    printf '   round %d  %-30s %8.2f s %14s B\n' "$round" "$1" "$t" "$b"
    if [ -z "${best[$1]:-}" ] || awk -v a="$t" -v b="${best[$1]% *}" 'BEGIN { exit !(a < b) }'; then
        best[$1]="$t $b"
    fi
}
# A line for flr against one more baseline, its ratio among the last ones.
against() {  # NAME FLR BASELINE
    read -r ft _ <<<"$2"
    read -r bt _ <<<"$3"
    printf '%-34s flr %8.2f s   %-24s %8.2f s   ratio %.2f\n' "$1" "$ft" "${1##*vs }" "$bt" \
        "$(div "$ft" "$bt")"
    ratios+=("$1=$(awk -v a="$ft" -v b="$bt" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')")
}

# An sshd on a free loopback port that lets this user in with a throw-away
# key, as rsync's remote shell; sets ssh_cmd.
start_sshd() {
    if [ ! -x /usr/sbin/sshd ]; then
        echo "== openssh-server missing: apt-get install -y openssh-server"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq openssh-server > "$work/apt.log" 2>&1 || {
            apt-get update -qq > /dev/null &&
                DEBIAN_FRONTEND=noninteractive apt-get install -y -qq openssh-server > "$work/apt.log" 2>&1
        }
    fi
    local d="$work/ssh" port i
    mkdir -p "$d" /run/sshd
    chmod 700 "$d"
    ssh-keygen -q -t ed25519 -N '' -f "$d/host"
    ssh-keygen -q -t ed25519 -N '' -f "$d/id"
    cp "$d/id.pub" "$d/authorized_keys"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat > "$d/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $d/host
AuthorizedKeysFile $d/authorized_keys
PidFile $d/sshd.pid
UsePAM no
StrictModes no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
EOF
    start_service "$d/sshd.log" /usr/sbin/sshd -D -e -f "$d/sshd_config"
    ssh_cmd="ssh -p $port -i $d/id -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o BatchMode=yes -o LogLevel=ERROR"
    for ((i = 0; i < 100; i++)); do
        $ssh_cmd 127.0.0.1 true 2> /dev/null && return 0
        sleep 0.1
    done
    echo "sshd did not let us in: $(cat "$d/sshd.log")" >&2
    exit 1
}

# A `flr tail` on a free loopback port with the script's registry and key, root
# DIR/root and content store DIR/store; sets tail_port and tail_pid. Each
# copy gets its own: a tail's store would spare later copies the blocks
# earlier ones sent.
start_flr_tail() {  # DIR
    mkdir -p "$1/root"
    : > "$1/tail.log"
    # A resync comes back to the port of its copy: the pair is named by
    # its destination, port included, and another one would be a new pair.
    start_service "$1/tail.log" "$flr" tail --listen "127.0.0.1:$(cat "$1/port" 2> /dev/null || echo 0)" \
        --root "$1/root" --store "$1/store"
    tail_pid=$service_pid
    local i
    tail_port=""
    for ((i = 0; i < 200; i++)); do
        tail_port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$1/tail.log" | head -1)
        if [ -n "$tail_port" ]; then
            echo "$tail_port" > "$1/port"
            return 0
        fi
        sleep 0.1
    done
    echo "the tail did not start: $(cat "$1/tail.log")" >&2
    exit 1
}

local_tools=()
net_tools=()
if wants real; then local_tools=(flr rsync rsync-fsync cp); fi
if wants net; then
    start_sshd
    flr_bench_registry "$flr" "$work"
    net_tools=(rsync-ssh flr-auth flr-encrypt flr-encrypt-4)
fi

# One copy of the real tree by TOOL into the copy of ROUND; a second call
# for the same copy resyncs it. Every flr copy has its own state (and over
# the network its own tail), so no copy starts from what another sent.
copy_with() {  # TOOL ROUND
    local d="$out/$1.$2" flr_state="$out/$1.$2.state" r
    case $1 in
        flr) run_flr "$real" "$d" ;;
        rsync) run_rsync "$real/" "$d/" ;;
        rsync-fsync) run_rsync --fsync "$real/" "$d/" ;;
        cp) run_cp "$real" "$d" ;;
        rsync-ssh) run_rsync -e "$ssh_cmd" "$real/" "127.0.0.1:$d/" ;;
        flr-*)
            start_flr_tail "$d"
            # Called in $(...), where the script's exit trap does not run;
            # the services started before belong to the script.
            trap 'stop_service "$tail_pid"' EXIT
            local opts=()
            case $1 in
                flr-encrypt) opts=(--encrypt) ;;
                flr-encrypt-4) opts=(--encrypt --streams 4) ;;
            esac
            r=$(run_flr "${opts[@]}" "$real" "127.0.0.1:$tail_port:$d/root/copy")
            if ! "$flr" verify --encrypt "$real" "127.0.0.1:$tail_port:$d/root/copy" > "$d/verify"; then
                echo "$1: the replica differs: $(tail -3 "$d/verify")" >&2
                exit 1
            fi
            echo "$r"
            ;;
    esac
}

echo "== full copies of the real tree, $rounds round(s)"
for ((round = 1; round <= rounds; round++)); do
    order=("${local_tools[@]}" "${net_tools[@]}")
    if ((round % 2 == 0)); then
        # Reversed on even rounds: the machine's drift falls on every tool.
        for ((i = 0, j = ${#order[@]} - 1; i < j; i++, j--)); do
            t=${order[i]} && order[i]=${order[j]} && order[j]=$t
        done
    fi
    for tool in "${order[@]}"; do
        sync
        keep "$tool" "$(copy_with "$tool" "$round")"
    done
done
if wants real; then
    "$flr" verify "$real" "$out/flr.$rounds" > /dev/null
    report "5 full copy real tree, local" "${best[flr]}" "${best[rsync]}"
    against "5 full copy real, vs rsync --fsync" "${best[flr]}" "${best[rsync-fsync]}"
    against "5 full copy real, vs cp -a" "${best[flr]}" "${best[cp]}"
fi
if wants net; then
    report "6 full copy real, net, auth" "${best[flr-auth]}" "${best[rsync-ssh]}"
    report "6 full copy real, net, encrypt" "${best[flr-encrypt]}" "${best[rsync-ssh]}"
    report "6 full copy real, net, enc, 4 st" "${best[flr-encrypt-4]}" "${best[rsync-ssh]}"
fi

# A day's change: ~1 % of the files appended to, a large folder renamed, new files.
echo "== changing the real tree"
sleep 1
find "$real" -type f | awk 'NR % 100 == 0' > "$work/appended"
while IFS= read -r f; do head -c 4096 /dev/urandom >> "$f"; done < "$work/appended"
# The largest folder of at most RENAME_MAX_MB right under the tree: "MB PATH".
moved=$({ du -sm "$real"/*/ 2> /dev/null || true; } | sort -n |
    awk -F'\t' -v m="${RENAME_MAX_MB:-150}" '$1 <= m { s = $1; d = $2 } END { print s, d }')
moved_dir=${moved#* }
moved_dir=${moved_dir%/}
if [ -n "$moved_dir" ]; then mv "$moved_dir" "$moved_dir.renamed"; fi
mkdir "$real/new-files"
for i in $(seq 1 200); do head -c 8192 /dev/urandom > "$real/new-files/n$i"; done
echo "== $(wc -l < "$work/appended") files appended to, ${moved_dir:+${moved_dir#"$real"/} (${moved%% *} MB) renamed, }200 new files"
sleep 1

if wants real; then
    report "7 resync real tree, local" "$(copy_with flr "$rounds")" "$(copy_with rsync "$rounds")"
    "$flr" verify "$real" "$out/flr.$rounds" > /dev/null
fi
if wants net; then
    report "8 resync real tree, net, encrypt" "$(copy_with flr-encrypt "$rounds")" \
        "$(copy_with rsync-ssh "$rounds")"
fi
