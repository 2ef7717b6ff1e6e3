#pragma once
// Network journal records for the tail journal tests: a stream builder that
// numbers and encodes them, and a stream of every record type with the tree
// it must leave, made directly.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FLR/FlrNetJournal.h"
#include "TailApplyFixture.h"
#include "platform/JxACL.h"

namespace jrntest {

constexpr int64_t kAtime = 1600000000;
constexpr int64_t kMtime = 1600000500;
// Sub-second parts, which the tail keeps to the nanosecond.
constexpr int64_t kAtimeNs = 250000001;
constexpr int64_t kMtimeNs = 999999999;

// Records numbered from 1, each kept encoded.
struct Stream {
    std::vector<std::string> recs;
    uint64_t next = 1;

    void add(FlrJrnCommandNet c) {
        c.seq_num = next++;
        c.timestamp = 1700000000;
        char* buf = nullptr;
        int cap = 0;
        const int len = encodeNetCmd(&c, buf, cap);
        recs.emplace_back(buf, static_cast<size_t>(len));
        std::free(buf);
    }
    static FlrJrnCommandNet cmd(uint32_t code) {
        FlrJrnCommandNet c{};
        c.cmd = code;
        return c;
    }
    void create(const std::string& p, uint32_t mode, bool folder = false) {
        FlrJrnCommandNet c = cmd(folder ? FLR_JRN_MKDIR : FLR_JRN_CREATE);
        c.create = {p.c_str(),          mode, ::getuid(), ::getgid(), {kAtime, kAtimeNs},
                    {kMtime, kMtimeNs}, 0};
        add(c);
    }
    void mkdir(const std::string& p, uint32_t perm) { create(p, S_IFDIR | perm, true); }
    void write(const std::string& p, uint64_t off, const std::string& data) {
        FlrJrnCommandNet c = cmd(FLR_JRN_WRITE);
        c.write = {p.c_str(), off, static_cast<uint32_t>(data.size()), data.data()};
        add(c);
    }
    void twoPaths(uint32_t code, const std::string& a, const std::string& b) {
        FlrJrnCommandNet c = cmd(code);
        (code == FLR_JRN_RENAME ? c.rename : c.link) = {a.c_str(), b.c_str()};
        add(c);
    }
    void rename(const std::string& a, const std::string& b) { twoPaths(FLR_JRN_RENAME, a, b); }
    void link(const std::string& a, const std::string& b) { twoPaths(FLR_JRN_LINK, a, b); }
    void symlink(const std::string& target, const std::string& p) {
        FlrJrnCommandNet c = cmd(FLR_JRN_SYMLINK);
        c.symlink = {target.c_str(), p.c_str(), ::getuid(), ::getgid()};
        add(c);
    }
    void remove(const std::string& p) {
        FlrJrnCommandNet c = cmd(FLR_JRN_REMOVE);
        c.remove.path = p.c_str();
        add(c);
    }
    void rmdir(const std::string& p) {
        FlrJrnCommandNet c = cmd(FLR_JRN_RMDIR);
        c.rmdir = {0, p.c_str()};
        add(c);
    }
    FlrJrnCommandNet setattr(const std::string& p) {
        FlrJrnCommandNet c = cmd(FLR_JRN_SETATTR);
        c.setattr.path = p.c_str();
        return c;
    }
    void truncate(const std::string& p, uint64_t size) {
        FlrJrnCommandNet c = setattr(p);
        c.setattr.size_valid = 1;
        c.setattr.size = size;
        add(c);
    }
    void chmod(const std::string& p, uint32_t perm) {
        FlrJrnCommandNet c = setattr(p);
        c.setattr.mode_valid = 1;
        c.setattr.mode = perm;
        add(c);
    }
    void times(const std::string& p) {
        FlrJrnCommandNet c = setattr(p);
        c.setattr.atime_valid = c.setattr.mtime_valid = 1;
        c.setattr.atime = {kAtime, kAtimeNs};
        c.setattr.mtime = {kMtime, kMtimeNs};
        add(c);
    }
    void fclear(const std::string& p, uint64_t off, uint64_t len) {
        FlrJrnCommandNet c = cmd(FLR_JRN_FCLEAR);
        c.fclear = {p.c_str(), off, len};
        add(c);
    }
    void xattr(const std::string& p, const std::string& name, const std::string* value) {
        FlrJrnCommandNet c = cmd(value ? FLR_JRN_SETXATTR : FLR_JRN_RMXATTR);
        if (value)
            c.setxattr = {p.c_str(), 0, name.c_str(), static_cast<uint32_t>(value->size()),
                          value->data()};
        else
            c.rmxattr = {p.c_str(), name.c_str()};
        add(c);
    }
    void acl(const std::string& p, const std::vector<unsigned char>& form) {
        FlrJrnCommandNet c = cmd(FLR_JRN_SET_ACL);
        c.setacl = {p.c_str(), 0, static_cast<uint32_t>(form.size()), form.data()};
        add(c);
    }

    // Records [from, to) (0-based) as one payload.
    std::string payload(size_t from, size_t to) const {
        std::string s;
        for (size_t i = from; i < to && i < recs.size(); ++i) s += recs[i];
        return s;
    }
};

// user::rw-, user:4242:r--, group::r--, mask::r--, other::---
inline std::vector<unsigned char> sampleAcl() {
    JxACL::Acl a;
    a.hasAccess = true;
    a.access = {{JxACL::TAG_USER_OBJ, 6, 0},
                {JxACL::TAG_USER, 4, 4242},
                {JxACL::TAG_GROUP_OBJ, 4, 0},
                {JxACL::TAG_MASK, 4, 0},
                {JxACL::TAG_OTHER, 0, 0}};
    return JxACL::encode(a);
}

inline bool aclsWork(const std::string& dir) {
    if (!JxACL::Helper::supported()) return false;
    const std::string probe = dir + "/acl-probe";
    flrtest::writeFile(probe, "");
    const auto form = sampleAcl();
    try {
        JxACL::Helper().apply(probe, form.data(), form.size());
    } catch (...) {
        ::unlink(probe.c_str());
        return false;
    }
    ::unlink(probe.c_str());
    return true;
}

// Every record type. `root` names one file by its absolute path, as a head
// that maps into the root's own path does. Kept alive: records point at it.
struct EveryType {
    std::string bin = "docs/b.bin";
    std::string kept = "v1", dropped = "v";
    std::string data = tailtest::pattern(90000, 7);
    std::vector<unsigned char> form = sampleAcl();
    std::string absBin;
    Stream s;
    static constexpr const char* kTimed[] = {"docs/b.bin", "docs/x",    "docs/old",     "docs/pipe",
                                             "docs/ln",    "docs/gone", "docs/moved/f", "mv/f"};

    EveryType(const std::string& root, bool withAcl) : absBin(root + "/docs/b.bin") {
        s.add(Stream::cmd(FLR_JRN_NOOP));
        s.mkdir("docs", 0755);
        s.create("docs/a.txt", S_IFREG | 0644);
        s.write("docs/a.txt", 0, "hello world");
        s.write("docs/a.txt", 0, "HELLO");
        s.create(absBin, S_IFREG | 0640);
        for (size_t at = 0; at < data.size(); at += 30000) s.write(bin, at, data.substr(at, 30000));
        s.truncate(bin, 70000);
        s.fclear(bin, 10, 20);
        s.mkdir("tmp", 0700);
        s.create("tmp/x", S_IFREG | 0644);
        s.write("tmp/x", 0, "x");
        s.rename("tmp/x", "docs/x");  // across folders
        s.create("docs/old", S_IFREG | 0644);
        s.write("docs/old", 0, "old");
        s.rename("docs/a.txt", "docs/old");  // over an existing target, held open
        s.write("docs/old", 11, "!");        // lands in the moved-in file
        s.symlink("../../etc/passwd", "docs/ln");
        s.link("docs/old", "docs/hard");
        s.create("docs/gone", S_IFREG | 0644);
        s.write("docs/gone", 0, "g");
        s.remove("docs/gone");
        s.create("docs/gone", S_IFREG | 0644);
        s.write("docs/gone", 0, "G2");
        // A folder moved while its file is held open, then its old name
        // made again: each write lands in the file its path names now.
        s.mkdir("mv", 0755);
        s.create("mv/f", S_IFREG | 0644);
        s.write("mv/f", 0, "first");
        s.rename("mv", "docs/moved");
        s.write("docs/moved/f", 5, "+more");
        s.mkdir("mv", 0755);
        s.create("mv/f", S_IFREG | 0644);
        s.write("mv/f", 0, "second");
        s.mkdir("empty", 0755);
        s.rmdir("empty");
        s.create("docs/pipe", S_IFIFO | 0600);
        s.chmod("docs/x", 0600);
        s.add(Stream::cmd(FLR_JRN_SNAP));
        s.xattr("docs/old", "user.flr.kept", &kept);
        s.xattr("docs/old", "user.flr.dropped", &dropped);
        s.xattr("docs/old", "user.flr.dropped", nullptr);
        if (withAcl) s.acl(bin, form);
        for (const char* p : kTimed) s.times(p);
    }

    // The tree the stream leaves, made directly.
    void buildExpected(const std::string& dir, bool withAcl) const {
        auto at = [&](const std::string& rel) { return dir + "/" + rel; };
        ::mkdir(at("docs").c_str(), 0755);
        ::mkdir(at("tmp").c_str(), 0700);
        std::string content = data.substr(0, 70000);
        std::memset(&content[10], 0, 20);
        flrtest::writeFile(at("docs/b.bin"), content);
        ::chmod(at("docs/b.bin").c_str(), 0640);
        if (withAcl) JxACL::Helper().apply(at("docs/b.bin"), form.data(), form.size());
        flrtest::writeFile(at("docs/x"), "x");
        ::chmod(at("docs/x").c_str(), 0600);
        flrtest::writeFile(at("docs/old"), "HELLO world!");
        ::chmod(at("docs/old").c_str(), 0644);
        ::setxattr(at("docs/old").c_str(), "user.flr.kept", kept.data(), kept.size(), 0);
        ::link(at("docs/old").c_str(), at("docs/hard").c_str());
        ::symlink("../../etc/passwd", at("docs/ln").c_str());
        ::mkfifo(at("docs/pipe").c_str(), 0600);
        flrtest::writeFile(at("docs/gone"), "G2");
        ::mkdir(at("docs/moved").c_str(), 0755);
        ::mkdir(at("mv").c_str(), 0755);
        flrtest::writeFile(at("docs/moved/f"), "first+more");
        flrtest::writeFile(at("mv/f"), "second");
        for (const char* p : {"docs/gone", "docs/moved/f", "mv/f"}) ::chmod(at(p).c_str(), 0644);
        ::chmod(at("docs/pipe").c_str(), 0600);
        const struct timespec ts[2] = {{kAtime, kAtimeNs}, {kMtime, kMtimeNs}};
        for (const char* p : kTimed) ::utimensat(AT_FDCWD, at(p).c_str(), ts, AT_SYMLINK_NOFOLLOW);
    }
};

inline std::string xattrOf(const std::string& path, const std::string& name) {
    char buf[256];
    const ssize_t n = ::lgetxattr(path.c_str(), name.c_str(), buf, sizeof buf);
    return n < 0 ? "(none)" : std::string(buf, static_cast<size_t>(n));
}

inline bool sameInode(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 && sa.st_ino == sb.st_ino;
}

}  // namespace jrntest
