#!/usr/bin/python3
"""Fake host tools for the snapshot tests: LVM (vgdisplay, lvs, lvdisplay,
lvcreate, lvchange, lvremove), dmsetup, cryptsetup, mount and umount.

Called through a symlink named after the tool. State lives in
$FLR_FAKE_STATE/state.json; the mount table in $FLR_FAKE_STATE/mounts
(/proc/mounts format, for JxMntTab); every call is appended to
$FLR_FAKE_STATE/calls.log as one line: the tool's argv, each argument in hex,
"x" + hex, separated by blanks (safe for any byte, also an empty argument),
then a tab and "x" + the hex of what the tool read on standard input
(cryptsetup only).

state.json:
  lvs:      [{path, uuid, sectors, attr, origin (name or null), thin, fstype}]
  crypt:    [{name, device, uuid}]
  luksKeys: {origin device path: passphrase or key file path}
  busy:     [mount points that umount reports busy]
  fail:     {tool: error text}     the tool fails with that text
  oldFormat: true                  vgdisplay prints paths under "LV Name"
"""
import json
import os
import sys
import uuid

STATE_DIR = os.environ["FLR_FAKE_STATE"]
STATE = os.path.join(STATE_DIR, "state.json")
MOUNTS = os.path.join(STATE_DIR, "mounts")


def load():
    with open(STATE) as f:
        return json.load(f)


def save(state):
    tmp = STATE + ".tmp"
    with open(tmp, "w") as f:
        json.dump(state, f, indent=1)
    os.replace(tmp, STATE)


def record(argv, stdin_bytes=b""):
    line = " ".join("x" + os.fsencode(a).hex() for a in argv) + "\tx" + stdin_bytes.hex() + "\n"
    with open(os.path.join(STATE_DIR, "calls.log"), "a") as f:
        f.write(line)


def die(text, code=5):
    sys.stderr.write(text + "\n")
    sys.exit(code)


def find_lv(state, path):
    for lv in state["lvs"]:
        if lv["path"] == path:
            return lv
    return None


def vg_of(path):
    return path.rsplit("/", 2)[-2]


def vgdisplay(state, args):
    key = "LV Name" if state.get("oldFormat") else "LV Path"
    out = ["  --- Volume group ---", "  VG Name               vg00", ""]
    for lv in state["lvs"]:
        out.append("  --- Logical volume ---")
        out.append("  %-22s %s" % (key, lv["path"]))
        if key == "LV Path":
            out.append("  LV Name                %s" % lv["path"].rsplit("/", 1)[-1])
        out.append("  VG Name                %s" % vg_of(lv["path"]))
        if lv.get("uuid"):
            out.append("  LV UUID                %s" % lv["uuid"])
        out.append("  LV Write Access        read/write")
        if lv.get("origin") and lv.get("thin"):
            out.append("  LV Thin origin name    %s" % lv["origin"])
        elif lv.get("origin"):
            out.append("  LV snapshot status     active destination for %s" % lv["origin"])
        else:
            snaps = [s for s in state["lvs"] if s.get("origin") == lv["path"].rsplit("/", 1)[-1]
                     and not s.get("thin")]
            if snaps:
                out.append("  LV snapshot status     source of")
                for s in snaps:
                    out.append("                         %s [active]" % s["path"])
        out.append("  LV Status              available")
        out.append("")
    print("\n".join(out))


def lvs(state, args):
    lv = find_lv(state, args[-1])
    if lv is None:
        die('  Failed to find logical volume "%s"' % args[-1])
    print("  " + lv.get("attr", "-wi-ao----"))


def lvdisplay(state, args):
    lv = find_lv(state, args[-1])
    if lv is None:
        die('  Failed to find logical volume "%s"' % args[-1])
    print("  %s:%s:3:1:-1:1:%s:256:-1:0:-1:253:3" % (lv["path"], vg_of(lv["path"]),
                                                    lv.get("sectors", 2097152)))


def opt(args, name):
    return args[args.index(name) + 1] if name in args else None


def lvcreate(state, args):
    origin = find_lv(state, args[-1])
    name = opt(args, "--name")
    if origin is None:
        die('  Volume group "%s" not found' % args[-1])
    path = origin["path"].rsplit("/", 1)[0] + "/" + name
    if find_lv(state, path):
        die('  Logical Volume "%s" already exists in volume group' % name)
    state["lvs"].append({"path": path, "uuid": str(uuid.uuid4()),
                         "sectors": origin.get("sectors", 2097152),
                         "attr": "swi-a-s---", "origin": origin["path"].rsplit("/", 1)[-1],
                         "thin": bool(origin.get("thin")), "fstype": origin.get("fstype"),
                         "size": opt(args, "--size"), "permission": opt(args, "--permission")})
    save(state)
    print('  Logical volume "%s" created.' % name)


def lvchange(state, args):
    if find_lv(state, args[-1]) is None:
        die('  Failed to find logical volume "%s"' % args[-1])


def lvremove(state, args):
    path = args[-1]
    if find_lv(state, path) is None:
        die('  Failed to find logical volume "%s"' % path)
    if any(c["device"] == path for c in state.get("crypt", [])):
        die('  Logical volume %s contains a filesystem in use.' % path)
    state["lvs"] = [lv for lv in state["lvs"] if lv["path"] != path]
    save(state)
    print('  Logical volume "%s" successfully removed' % path.rsplit("/", 1)[-1])


def dmsetup(state, args):
    crypt = state.get("crypt", [])
    if args[:1] == ["table"]:
        if not crypt:
            print("No devices found")
        for c in crypt:
            print("%s: 0 2093056 crypt aes-xts-plain64 :64:logon:cryptsetup:x 0 253:3 32768"
                  % c["name"])
    elif args[:1] == ["info"]:
        name = args[1].replace("/dev/mapper/", "", 1)
        for c in crypt:
            if c["name"] == name:
                print(c["uuid"])
                return
        die("Device does not exist.", 1)
    else:
        die("unknown dmsetup command", 1)


def origin_device(state, device):
    lv = find_lv(state, device)
    if lv and lv.get("origin"):
        return lv["path"].rsplit("/", 1)[0] + "/" + lv["origin"]
    return device


def cryptsetup(state, args, stdin_bytes):
    crypt = state.setdefault("crypt", [])
    if args[0] == "status":
        for c in crypt:
            if c["name"] == args[1]:
                print("/dev/mapper/%s is active.\n  type:    LUKS2\n  cipher:  aes-xts-plain64\n"
                      "  device:  %s\n  sector size:  512" % (c["name"], c["device"]))
                return
        die("/dev/mapper/%s is inactive." % args[1], 4)
    if args[0] == "luksOpen":
        device, name = args[1], args[2]
        wanted = state.get("luksKeys", {}).get(origin_device(state, device))
        given = stdin_bytes.decode() if "--key-file=-" in args else opt(args, "-d")
        if wanted is None or given != wanted:
            die("No key available with this passphrase.", 2)
        crypt.append({"name": name, "device": device, "uuid": "CRYPT-LUKS2-" + uuid.uuid4().hex})
        save(state)
        return
    if args[0] == "remove":
        name = args[1].replace("/dev/mapper/", "", 1)
        if not any(c["name"] == name for c in crypt):
            die("Device %s not found" % name, 4)
        state["crypt"] = [c for c in crypt if c["name"] != name]
        save(state)
        return
    die("unknown cryptsetup command", 1)


def escape(text):
    return text.replace("\\", "\\134").replace(" ", "\\040").replace("\t", "\\011") \
        .replace("\n", "\\012")


def read_mounts():
    if not os.path.exists(MOUNTS):
        return []
    with open(MOUNTS) as f:
        return [line for line in f.read().split("\n") if line]


def mount(state, args):
    fstype, options = opt(args, "-t"), opt(args, "-o")
    device, point = args[-2], args[-1]
    if not os.path.isdir(point):
        die("mount: %s: mount point does not exist." % point, 32)
    if fstype is None:
        lv = find_lv(state, device)
        fstype = (lv or {}).get("fstype") or "ext4"
    lines = read_mounts() + ["%s %s %s %s 0 0" % (escape(device), escape(point), fstype,
                                                  options or "rw")]
    with open(MOUNTS, "w") as f:
        f.write("\n".join(lines) + "\n")


def umount(state, args):
    point = args[-1]
    if point in state.get("busy", []):
        die("umount: %s: target is busy." % point, 32)
    lines = read_mounts()
    kept = [line for line in lines if line.split(" ")[1] != escape(point)]
    if len(kept) == len(lines):
        die("umount: %s: not mounted." % point, 32)
    with open(MOUNTS, "w") as f:
        f.write("".join(line + "\n" for line in kept))


def main():
    tool = os.path.basename(sys.argv[0])
    args = sys.argv[1:]
    stdin_bytes = b""
    if tool == "cryptsetup" and "--key-file=-" in args:
        stdin_bytes = sys.stdin.buffer.read()
    record([tool] + args, stdin_bytes)
    state = load()
    if tool in state.get("fail", {}):
        die(state["fail"][tool])
    handlers = {"vgdisplay": vgdisplay, "lvs": lvs, "lvdisplay": lvdisplay,
                "lvcreate": lvcreate, "lvchange": lvchange, "lvremove": lvremove,
                "dmsetup": dmsetup, "mount": mount, "umount": umount}
    if tool == "cryptsetup":
        cryptsetup(state, args, stdin_bytes)
    elif tool in handlers:
        handlers[tool](state, args)
    else:
        die("fakehost: unknown tool " + tool, 127)


if __name__ == "__main__":
    main()
