#!/usr/bin/python3
"""Fake storage tools for the snapshot tests: VxVM (vxdg, vxsnap, vxprint,
vxedit), GPFS (mmlsfs, mmlsfileset, mmlssnapshot, mmcrsnapshot,
mmdelsnapshot) and the block-filter configuration saver (jxsnap).

Called through a symlink named after the tool. State lives in
$FLR_FAKE_STATE/store.json; every call is appended to
$FLR_FAKE_STATE/calls.log as one line: the tool's argv, each argument as
"x" + hex, separated by blanks (safe for any byte), then a tab and "x".

store.json:
  vx:   {devroot: folder standing for /dev/vx,
         groups: {group: {vols: {vol: {guid, instant, fastresync}},
                          snaps: {snapshot volume: parent volume}}}}
  gpfs: {device: {mount, filesets: [{name, path, status}],
                  snaps: [{name, fileset}]}}        fileset "" = global
  fail: {tool: error text}                          the tool fails with it
"""
import json
import os
import sys
import uuid

STATE_DIR = os.environ["FLR_FAKE_STATE"]
STATE = os.path.join(STATE_DIR, "store.json")


def load():
    with open(STATE) as f:
        return json.load(f)


def save(state):
    tmp = STATE + ".tmp"
    with open(tmp, "w") as f:
        json.dump(state, f, indent=1)
    os.replace(tmp, STATE)


def record(argv):
    line = " ".join("x" + os.fsencode(a).hex() for a in argv) + "\tx\n"
    with open(os.path.join(STATE_DIR, "calls.log"), "a") as f:
        f.write(line)


def die(text, code=5):
    sys.stderr.write(text + "\n")
    sys.exit(code)


def opt(args, name):
    return args[args.index(name) + 1] if name in args else None


# --- VxVM --------------------------------------------------------------------

def group_of(state, args):
    name = opt(args, "-g")
    groups = state["vx"]["groups"]
    if name not in groups:
        die("VxVM vxprint ERROR V-5-1-582 Disk group %s: No such disk group" % name, 11)
    return groups[name], name


def node(state, group, vol):
    return os.path.join(state["vx"]["devroot"], "dsk", group, vol)


def vxdg(state, args):
    if args != ["list"]:
        die("vxdg: unsupported", 1)
    print("NAME         STATE                ID")
    for g in sorted(state["vx"]["groups"]):
        print("%-12s enabled,cds          1234567890.12.tailhost" % g)


def vxprint(state, args):
    group, _ = group_of(state, args)
    fmt = [a for a in args if a.startswith("-F")][0][2:]
    vol = args[-1]
    v = group["vols"].get(vol)
    if v is None:
        die("VxVM vxprint ERROR V-5-1-924 Record %s not found" % vol, 11)
    key = {"%guid": "guid", "%instant": "instant", "%fastresync": "fastresync"}[fmt]
    print(v.get(key, "off"))


def vxsnap(state, args):
    group, gname = group_of(state, args)
    verb = args[2]
    if verb == "list":
        print("NAME          SNAPOBJECT        TYPE      PARENT    SNAPSHOT  %DIRTY  %VALID")
        for vol in sorted(group["vols"]):
            if vol in group["snaps"]:
                continue
            print("%-13s --                volume    --        --        --      100.00" % vol)
            for s, parent in sorted(group["snaps"].items()):
                if parent == vol:
                    print("              %-17s volume    --        %-9s 0.00    --"
                          % (s + "_snp", s))
        for s, parent in sorted(group["snaps"].items()):
            print("%-13s %-17s spaceopt  %-9s --        --      100.00"
                  % (s, parent + "_snp", parent))
    elif verb == "prepare":
        v = group["vols"][args[3]]
        v["instant"], v["fastresync"] = "on", "on"
        save(state)
    elif verb == "make":
        spec = dict(part.split("=", 1) for part in args[3].split("/"))
        parent = group["vols"].get(spec["source"])
        if parent is None or parent.get("instant") != "on":
            die("VxVM vxsnap ERROR V-5-1-6425 Volume %s is not instant ready" % spec["source"])
        new = spec["newvol"]
        group["vols"][new] = {"guid": "{%s}" % uuid.uuid4(), "instant": "off",
                              "fastresync": "off", "cachesize": spec["cachesize"]}
        group["snaps"][new] = spec["source"]
        open(node(state, gname, new), "w").close()
        save(state)
    else:
        die("vxsnap: unsupported " + verb, 1)


def vxedit(state, args):
    group, gname = group_of(state, args)
    vol = args[-1]
    if vol not in group["vols"]:
        die("VxVM vxedit ERROR V-5-1-924 Record %s not found" % vol, 11)
    del group["vols"][vol]
    group["snaps"].pop(vol, None)
    if os.path.exists(node(state, gname, vol)):
        os.unlink(node(state, gname, vol))
    save(state)


# --- GPFS --------------------------------------------------------------------

def enc(text):
    return text.replace("%", "%25").replace(":", "%3A")


def y_table(cmd, headings, rows):
    print("%s::HEADER:version:reserved:reserved:%s:" % (cmd, ":".join(headings)))
    for row in rows:
        print("%s::0:1:::%s:" % (cmd, ":".join(enc(str(v)) for v in row)))


def device(state, name):
    d = state["gpfs"].get(name)
    if d is None:
        die("mmcommon: File system %s is not known to the GPFS cluster." % name, 19)
    return d


def mmlsfs(state, args):
    names = sorted(state["gpfs"]) if args[0] == "all" else [args[0]]
    y_table("mmlsfs", ["deviceName", "fieldName", "data", "remarks"],
            [[n, "defaultMountPoint", device(state, n)["mount"], ""] for n in names])


def mmlsfileset(state, args):
    d = device(state, args[0])
    y_table("mmlsfileset", ["filesystemName", "filesetName", "id", "status", "path"],
            [[args[0], f["name"], i, f.get("status", "Linked"), f["path"]]
             for i, f in enumerate(d["filesets"])])


def mmlssnapshot(state, args):
    d = device(state, args[0])
    y_table("mmlssnapshot", ["filesystemName", "directory", "snapID", "status", "fileset"],
            [[args[0], s["name"], i + 1, "Valid", s["fileset"]] for i, s in enumerate(d["snaps"])])


def mmcrsnapshot(state, args):
    d = device(state, args[0])
    fileset = opt(args, "-j") or ""
    if any(s["name"] == args[1] and s["fileset"] == fileset for s in d["snaps"]):
        die("Snapshot %s already exists." % args[1], 17)
    d["snaps"].append({"name": args[1], "fileset": fileset})
    save(state)


def mmdelsnapshot(state, args):
    d = device(state, args[0])
    fileset = opt(args, "-j") or ""
    kept = [s for s in d["snaps"] if not (s["name"] == args[1] and s["fileset"] == fileset)]
    if len(kept) == len(d["snaps"]):
        die("Snapshot %s does not exist." % args[1], 2)
    d["snaps"] = kept
    save(state)


def jxsnap(state, args):
    pass


def main():
    tool = os.path.basename(sys.argv[0])
    args = sys.argv[1:]
    record([tool] + args)
    state = load()
    if tool in state.get("fail", {}):
        die(state["fail"][tool])
    handlers = {"vxdg": vxdg, "vxprint": vxprint, "vxsnap": vxsnap, "vxedit": vxedit,
                "mmlsfs": mmlsfs, "mmlsfileset": mmlsfileset, "mmlssnapshot": mmlssnapshot,
                "mmcrsnapshot": mmcrsnapshot, "mmdelsnapshot": mmdelsnapshot, "jxsnap": jxsnap}
    if tool not in handlers:
        die("fakestore: unknown tool " + tool, 127)
    handlers[tool](state, args)


if __name__ == "__main__":
    main()
