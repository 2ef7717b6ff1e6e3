# shellcheck shell=bash
# The aspect table of bench/fidelity_vs_rsync.sh; sourced, not run. Needs
# lib.sh, rsync, and getfattr/getfacl (Debian's attr and acl) for the rows
# that read attributes and ACLs (shown "n/a" without them).

is_root() { [ "$(id -u)" -eq 0 ]; }
have() { command -v "$1" > /dev/null 2>&1; }

# The tree: one entry (or group) per aspect.
make_aspect_tree() {  # DIR
    local d=$1
    mkdir -p "$d/hl" "$d/names" "$d/acl-dir"
    echo linked > "$d/hl/a"
    ln "$d/hl/a" "$d/hl/b"
    echo alone > "$d/hl/c"
    head -c 4096 /dev/urandom > "$d/sparse"
    truncate -s $((64 << 20)) "$d/sparse"
    head -c 4096 /dev/urandom >> "$d/sparse"
    echo x > "$d/xattr"
    if have setfattr; then
        setfattr -n user.color -v blue "$d/xattr"
        is_root && setfattr -n trusted.mark -v t "$d/xattr"
    fi
    echo acl > "$d/acl-file"
    if have setfacl; then
        setfacl -m u:4321:r "$d/acl-file"
        setfacl -m u:4321:rx "$d/acl-dir"
        setfacl -d -m u:4321:rwx "$d/acl-dir"
    fi
    echo ns > "$d/ns"
    touch -d '2023-11-14 22:13:20.123456789' "$d/ns"
    echo suid > "$d/suid"
    chmod 4755 "$d/suid"
    mkfifo "$d/fifo"
    ln -s ns "$d/link"
    if have setfattr && is_root; then setfattr -h -n trusted.link -v l "$d/link"; fi
    touch -h -d '2021-01-02 03:04:05.987654321' "$d/link"
    local n
    for n in 'sp ace' $'new\nline' $'tab\tname' 'ünï cödé' '-dash' ' lead' 'back\slash'; do
        echo "$n" > "$d/names/$n"
    done
    if is_root; then
        mknod "$d/dev" c 1 3
        echo owned > "$d/owned"
        chown 4321:4322 "$d/owned"
        # after the chown, which clears it
        chmod 4755 "$d/suid"
    fi
}

# Each check: "check_NAME SRC DST" succeeds when DST keeps the aspect; 2 = n/a.
ino() { stat -c %i "$1"; }
check_hardlinks() {
    [ "$(ino "$2/hl/a")" = "$(ino "$2/hl/b")" ] && [ "$(ino "$2/hl/a")" != "$(ino "$2/hl/c")" ]
}
check_sparse() {
    cmp -s "$1/sparse" "$2/sparse" &&
        (($(stat -c %b "$2/sparse") * $(stat -c %B "$2/sparse") <= 1 << 20))
}
xattr_of() { getfattr -h --absolute-names -n "$2" --only-values "$1" 2> /dev/null; }
check_user_xattr() {
    have getfattr || return 2
    [ "$(xattr_of "$2/xattr" user.color)" = blue ]
}
check_trusted_xattr() {
    have getfattr && is_root || return 2
    [ "$(xattr_of "$2/xattr" trusted.mark)" = t ]
}
check_link_xattr() {
    have getfattr && is_root || return 2
    [ "$(xattr_of "$2/link" trusted.link)" = l ] && [ -z "$(xattr_of "$2/ns" trusted.link)" ]
}
acl_of() { getfacl -cpn "$@" 2> /dev/null; }
check_access_acl() {
    have getfacl || return 2
    [ "$(acl_of "$1/acl-file")" = "$(acl_of "$2/acl-file")" ] &&
        [ "$(acl_of "$1/acl-dir")" = "$(acl_of "$2/acl-dir")" ]
}
check_default_acl() {
    have getfacl || return 2
    local want
    want=$(acl_of -d "$1/acl-dir")
    [ -n "$want" ] && [ "$want" = "$(acl_of -d "$2/acl-dir")" ]
}
check_ns_mtime() { [ "$(stat -c %y "$1/ns")" = "$(stat -c %y "$2/ns")" ]; }
check_setuid() { [ "$(stat -c %a "$2/suid")" = 4755 ]; }
check_fifo() { [ "$(stat -c %F "$2/fifo" 2> /dev/null)" = fifo ]; }
check_link_mtime() {
    [ "$(readlink "$2/link")" = ns ] && [ "$(stat -c %y "$1/link")" = "$(stat -c %y "$2/link")" ]
}
check_names() {
    [ "$(cd "$1/names" && find . -print0 | sort -z | xargs -0 md5sum 2> /dev/null)" = \
        "$(cd "$2/names" && find . -print0 | sort -z | xargs -0 md5sum 2> /dev/null)" ]
}
check_device() {
    is_root || return 2
    [ "$(stat -c '%F %t %T' "$2/dev" 2> /dev/null)" = "$(stat -c '%F %t %T' "$1/dev")" ]
}
check_owner() {
    is_root || return 2
    [ "$(stat -c %u:%g "$2/owned")" = 4321:4322 ]
}
aspects=(hardlinks sparse user_xattr trusted_xattr link_xattr access_acl default_acl ns_mtime setuid fifo
    link_mtime names device owner)

# "COPY-NAME DST" columns are added one by one; the table prints at the end.
declare -A kept=()
columns=()
record_copy() {  # NAME SRC DST
    local name=$1 a rc
    columns+=("$name")
    for a in "${aspects[@]}"; do
        rc=0
        "check_$a" "$2" "$3" || rc=$?
        case $rc in
            0) kept[$name,$a]=kept ;;
            2) kept[$name,$a]=n/a ;;
            *) kept[$name,$a]=LOST ;;
        esac
    done
}
print_table() {
    local a c
    printf '%-14s' aspect
    for c in "${columns[@]}"; do printf ' %-16s' "$c"; done
    echo
    for a in "${aspects[@]}"; do
        printf '%-14s' "$a"
        for c in "${columns[@]}"; do printf ' %-16s' "${kept[$c,$a]}"; done
        echo
    done
}

# Waits up to SECONDS for COMMAND... to succeed.
wait_until() {
    local secs=$1 i
    shift
    for ((i = 0; i < secs * 10; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

aspect_table() {  # FLR WORK
    local flr=$1 w=$2 port
    mkdir -p "$w/root"
    make_aspect_tree "$w/src"
    echo "== aspect table (rsync $(rsync --version | sed -n '1s/.*version \([^ ]*\).*/\1/p'))"

    rsync -aHAXS --numeric-ids "$w/src/" "$w/rsync/"
    record_copy "rsync -aHAXS" "$w/src" "$w/rsync"

    "$flr" replicate -q --state-dir "$w/state-local" "$w/src" "$w/local" > /dev/null
    record_copy "flr local" "$w/src" "$w/local"

    printf '[ZRP]\nsLinkSecret = fidelity bench secret, thirty-two bytes or more\n' > "$w/flr.ini"
    chmod 600 "$w/flr.ini"
    # keep: setuid files and device nodes as sent, as rsync run by root does
    # (the tail's default strips them).
    start_service "$w/tail.log" env FLR_REGISTRY="$w/flr.ini" "$flr" tail --listen 127.0.0.1:0 \
        --root "$w/root" --privileged keep
    wait_until 20 grep -q 'listening on 127.0.0.1:' "$w/tail.log"
    port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$w/tail.log" | head -1)
    FLR_REGISTRY="$w/flr.ini" "$flr" replicate -q --state-dir "$w/state-tail" "$w/src" \
        "127.0.0.1:$port:$w/root/replica" > /dev/null
    record_copy "flr to tail" "$w/src" "$w/root/replica"

    if is_root; then
        # The same tree, made while watched.
        mkdir -p "$w/wsrc"
        start_service "$w/watch.log" "$flr" replicate --state-dir "$w/state-watch" "$w/wsrc" \
            "$w/watched" --watch
        watching() {
            "$flr" status --state-dir "$w/state-watch" "$w/wsrc" "$w/watched" --json 2> /dev/null |
                grep -q '"phase":"watching"'
        }
        if wait_until 60 watching; then
            make_aspect_tree "$w/wsrc"
            # Settled: two verifies in a row find the replica the same.
            settled() {
                "$flr" verify --times "$w/wsrc" "$w/watched" > /dev/null 2>&1 &&
                    sleep 1 && "$flr" verify --times "$w/wsrc" "$w/watched" > /dev/null 2>&1
            }
            wait_until 60 settled || true
            record_copy "flr --watch" "$w/wsrc" "$w/watched"
        else
            echo "the watch did not start: $(tail -3 "$w/watch.log")" >&2
        fi
    fi
    print_table
}
