#include "FlrJrnSample.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

// Weighted code choice for the random part of each mix.
struct Weight {
    uint32_t code;
    uint32_t weight;
};

constexpr Weight kFullMix[] = {
    {FLR_JRN_WRITE, 30},  {FLR_JRN_CREATE, 10},      {FLR_JRN_SETATTR, 10},
    {FLR_JRN_REMOVE, 6},  {FLR_JRN_RENAME, 5},       {FLR_JRN_MKDIR, 3},
    {FLR_JRN_TWRITE, 3},  {FLR_JRN_SETXATTR, 3},     {FLR_JRN_LINK, 2},
    {FLR_JRN_SYMLINK, 2}, {FLR_JRN_SET_ACL, 2},      {FLR_JRN_WRITE_DDR, 2},
    {FLR_JRN_NOOP, 2},    {FLR_JRN_RMDIR, 1},        {FLR_JRN_EXT2_SETFLAGS, 1},
    {FLR_JRN_RMXATTR, 1}, {FLR_JRN_STUB, 1},         {FLR_JRN_UNSTUB, 1},
    {FLR_JRN_FCLEAR, 1},  {FLR_JRN_SETXATTR_AIX, 1}, {FLR_JRN_RMXATTR_AIX, 1},
    {FLR_JRN_TXTMSG, 1},  {FLR_JRN_SNAP, 1},
};

constexpr Weight kBenchMix[] = {
    {FLR_JRN_WRITE, 40},  {FLR_JRN_CREATE, 20}, {FLR_JRN_SETATTR, 20},
    {FLR_JRN_RENAME, 10}, {FLR_JRN_REMOVE, 10},
};

// The full mix opens with one record of every code, in an order in which
// each finds what it needs (files to write, an empty directory to remove).
constexpr uint32_t kFirstPass[] = {
    FLR_JRN_NOOP,      FLR_JRN_SNAP,          FLR_JRN_CREATE,       FLR_JRN_WRITE,
    FLR_JRN_SETATTR,   FLR_JRN_MKDIR,         FLR_JRN_LINK,         FLR_JRN_SYMLINK,
    FLR_JRN_RENAME,    FLR_JRN_EXT2_SETFLAGS, FLR_JRN_SET_ACL,      FLR_JRN_SETXATTR,
    FLR_JRN_RMXATTR,   FLR_JRN_STUB,          FLR_JRN_UNSTUB,       FLR_JRN_TWRITE,
    FLR_JRN_WRITE_DDR, FLR_JRN_FCLEAR,        FLR_JRN_SETXATTR_AIX, FLR_JRN_RMXATTR_AIX,
    FLR_JRN_TXTMSG,    FLR_JRN_REMOVE,        FLR_JRN_RMDIR,
};

constexpr const char* kWords[] = {
    "replica", "journal", "block",  "extent", "tail",   "head",  "volume", "snapshot",
    "inode",   "write",   "commit", "flush",  "buffer", "cache", "record", "offset",
};

constexpr const char* kXattrNames[] = {
    "user.checksum", "user.mime_type", "security.selinux", "trusted.flr.tag", "user.origin",
};

constexpr const char* kDriverMessages[] = {
    "journal driver: resumed after overflow, 0 records lost",
    "journal driver: volume mounted read-write",
    "journal driver: checkpoint reached",
};

constexpr char kNameChars[] = "abcdefghijklmnopqrstuvwxyz0123456789_-.";
constexpr int kSampleMaxDepth = 6;
// Dirs without parent: index of the root.
constexpr size_t kSampleRoot = 0;

}  // namespace

FlrJrnSample::FlrJrnSample(Options options)
    : opt_(std::move(options)), state_(opt_.seed), nextSeq_(opt_.firstSeqNum) {
    name1_.reserve(256);
    name2_.reserve(256);
    text_.reserve(4096);
    // Printable text, so dumps of WRITE records are readable; long enough for
    // the largest write plus the random start offset.
    const size_t payloadLen = std::max<size_t>(opt_.writeSize, 65536) + 256;
    payload_.reserve(payloadLen);
    while (payload_.size() < payloadLen) {
        payload_.append(kWords[below(16)]);
        payload_.append(below(8) == 0 ? ". " : " ");
    }
    payload_.resize(payloadLen);
    seedTree();
}

uint64_t FlrJrnSample::rand() {
    // splitmix64: the same sequence on every platform and library.
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

fsf_fid FlrJrnSample::newFid() {
    // Shaped like a Linux file handle: handle type, inode, generation, and a
    // file-system id that stays the same within one journal.
    fsf_fid fid;
    const uint64_t inode = nextInode_++;
    const uint32_t generation = static_cast<uint32_t>(rand());
    const uint64_t fsid = opt_.seed * 0x2545F4914F6CDD1DULL + 0x0803;
    const uint32_t type = 1;
    for (int i = 0; i < 4; ++i) fid.bytes[i] = static_cast<uint8_t>(type >> (24 - 8 * i));
    for (int i = 0; i < 8; ++i) fid.bytes[4 + i] = static_cast<uint8_t>(inode >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i) {
        fid.bytes[12 + i] = static_cast<uint8_t>(generation >> (24 - 8 * i));
    }
    for (int i = 0; i < 8; ++i) fid.bytes[16 + i] = static_cast<uint8_t>(fsid >> (56 - 8 * i));
    return fid;
}

const std::string& FlrJrnSample::newName(std::string& out) {
    // Mostly short names, some medium, a few at the 255-byte limit; a counter
    // suffix keeps every name unique.
    const uint32_t r = below(100);
    size_t len = r < 70 ? 4 + below(21) : r < 95 ? 25 + below(40) : 200 + below(56);
    if (r >= 95 && below(3) == 0) len = 255;
    char suffix[24];
    const int n = std::snprintf(suffix, sizeof suffix, "-%llx",
                                static_cast<unsigned long long>(nameCounter_++));
    out.clear();
    out.push_back(kNameChars[below(26)]);
    while (out.size() + static_cast<size_t>(n) < len) out.push_back(kNameChars[below(39)]);
    out.append(suffix);
    return out;
}

size_t FlrJrnSample::pickDir(int maxDepth) {
    for (int tries = 0; tries < 16; ++tries) {
        const size_t i = below(static_cast<uint32_t>(dirs_.size()));
        const Dir& d = dirs_[i];
        if (!d.keepEmpty && !d.removed && d.depth <= maxDepth) return i;
    }
    return kSampleRoot;
}

size_t FlrJrnSample::addDir(size_t parent, const std::string& name, const fsf_fid& fid) {
    Dir d;
    d.fid = fid;
    d.parent = parent;
    d.name = name;
    if (dirs_.empty()) {
        d.path = name;
        d.depth = 0;
    } else {
        d.path = dirs_[parent].path + "/" + name;
        d.depth = dirs_[parent].depth + 1;
        ++dirs_[parent].entries;
        // Some directories stay empty so that RMDIR always finds one.
        d.keepEmpty = below(3) == 0;
    }
    paths_.set(fid, d.path);
    dirs_.push_back(std::move(d));
    return dirs_.size() - 1;
}

size_t FlrJrnSample::addFile(size_t dir, const std::string& name, const fsf_fid& fid) {
    paths_.set(fid, dirs_[dir].path + "/" + name);
    ++dirs_[dir].entries;
    files_.push_back(File{fid, dir, name, 1});
    return files_.size() - 1;
}

void FlrJrnSample::dropFile(size_t index) {
    --dirs_[files_[index].dir].entries;
    files_[index] = std::move(files_.back());
    files_.pop_back();
}

void FlrJrnSample::seedTree() {
    // The tree as it stood before the journal starts: the records name these
    // identifiers too, and the path table knows them.
    addDir(kSampleRoot, opt_.root, newFid());
    for (int i = 0; i < 6; ++i) {
        const size_t parent = i < 3 ? kSampleRoot : 1 + below(3);
        const size_t d = addDir(parent, newName(name1_), newFid());
        dirs_[d].keepEmpty = false;
    }
    for (int i = 0; i < 2; ++i) {
        const size_t d = addDir(1 + below(6), newName(name1_), newFid());
        dirs_[d].keepEmpty = true;
    }
    for (int i = 0; i < 16; ++i) addFile(pickDir(kSampleMaxDepth), newName(name1_), newFid());
}

uint32_t FlrJrnSample::pickCode() {
    if (opt_.mix == Mix::Full && records_ < std::size(kFirstPass)) return kFirstPass[records_];
    const Weight* table = opt_.mix == Mix::Full ? kFullMix : kBenchMix;
    const size_t n = opt_.mix == Mix::Full ? std::size(kFullMix) : std::size(kBenchMix);
    uint32_t total = 0;
    for (size_t i = 0; i < n; ++i) total += table[i].weight;
    uint32_t r = below(total);
    for (size_t i = 0; i < n; ++i) {
        if (r < table[i].weight) return table[i].code;
        r -= table[i].weight;
    }
    return table[0].code;
}

void FlrJrnSample::fillHeader(uint32_t code) {
    std::memset(&cmd_, 0, sizeof cmd_);
    cmd_.cmd = code;
    clock_ += below(3);
    cmd_.timestamp = static_cast<int32_t>(clock_);
    cmd_.seq_num = nextSeq_++;
    cmd_.devt = below(20) == 0 ? 0xfd01 : 0x0803;
    cmd_.mask = below(10) == 0 ? static_cast<int32_t>(1u << below(16)) : 0;
}

FlrJrnTime FlrJrnSample::someTime() {
    return FlrJrnTime{clock_ - static_cast<int64_t>(below(86400)), below(1000000000)};
}

const void* FlrJrnSample::payload(uint32_t size) {
    (void)size;  // payload_ is long enough for every size the mixes use
    return payload_.data() + below(256);
}

void FlrJrnSample::makeCreate() {
    fillHeader(FLR_JRN_CREATE);
    const size_t dir = pickDir(kSampleMaxDepth);
    // The journal's first CREATE carries a name at the 255-byte limit.
    if (opt_.mix == Mix::Full && records_ < std::size(kFirstPass)) {
        newName(name1_);
        while (name1_.size() < 255) name1_.insert(name1_.begin(), 'n');
    } else {
        newName(name1_);
    }
    FlrJrnCreate& b = cmd_.create;
    b.par_fid = dirs_[dir].fid;
    b.fid = newFid();
    b.short_name = name1_.c_str();
    const bool device = below(50) == 0;
    b.mode = device ? 0020660 : (below(4) == 0 ? 0100755 : 0100644);
    b.uid = 1000 + below(5);
    b.gid = 1000 + below(3);
    b.atime = someTime();
    b.mtime = someTime();
    b.rdev = device ? (8u << 8) | below(16) : 0;
    addFile(dir, name1_, b.fid);
}

void FlrJrnSample::makeMkdir() {
    fillHeader(FLR_JRN_MKDIR);
    const size_t parent = pickDir(kSampleMaxDepth - 1);
    FlrJrnCreate& b = cmd_.mkdir;
    b.par_fid = dirs_[parent].fid;
    b.fid = newFid();
    const size_t d = addDir(parent, newName(name1_), b.fid);
    b.short_name = dirs_[d].name.c_str();
    b.mode = 040755;
    b.uid = 1000 + below(5);
    b.gid = 1000 + below(3);
    b.atime = someTime();
    b.mtime = someTime();
}

void FlrJrnSample::makeRemove() {
    if (files_.empty()) return makeCreate();
    fillHeader(FLR_JRN_REMOVE);
    const size_t i = below(static_cast<uint32_t>(files_.size()));
    name1_ = files_[i].name;
    FlrJrnRemove& b = cmd_.remove;
    b.par_fid = dirs_[files_[i].dir].fid;
    b.short_name = name1_.c_str();
    b.file_fid = files_[i].fid;
    b.nlink = files_[i].links - 1;
    dropFile(i);
}

void FlrJrnSample::makeRmdir() {
    size_t victim = 0;
    for (size_t i = 1; i < dirs_.size(); ++i) {
        const Dir& d = dirs_[i];
        if (d.keepEmpty && !d.removed && d.entries == 0) {
            victim = i;
            break;
        }
    }
    if (victim == 0) return makeMkdir();
    fillHeader(FLR_JRN_RMDIR);
    Dir& d = dirs_[victim];
    d.removed = true;
    --dirs_[d.parent].entries;
    FlrJrnRmdir& b = cmd_.rmdir;
    b.dir_fid = d.fid;
    b.par_fid = dirs_[d.parent].fid;
    b.short_name = d.name.c_str();
}

void FlrJrnSample::makeRename() {
    if (files_.empty()) return makeCreate();
    fillHeader(FLR_JRN_RENAME);
    const size_t i = below(static_cast<uint32_t>(files_.size()));
    const File moved = files_[i];
    name1_ = moved.name;
    FlrJrnRename& b = cmd_.rename;
    b.src_fid = moved.fid;
    b.src_par_fid = dirs_[moved.dir].fid;
    b.src_short_name = name1_.c_str();
    dropFile(i);
    // Now and then the new name replaces an existing file.
    if (!files_.empty() && below(5) == 0) {
        const size_t j = below(static_cast<uint32_t>(files_.size()));
        b.dst_fid_valid = 1;
        b.dst_fid = files_[j].fid;
        b.dst_par_fid = dirs_[files_[j].dir].fid;
        name2_ = files_[j].name;
        ++dirs_[files_[j].dir].entries;
        dropFile(j);
    } else {
        const size_t dir = pickDir(kSampleMaxDepth);
        b.dst_fid_valid = 0;
        b.dst_fid = fsf_fid::fid0;
        b.dst_par_fid = dirs_[dir].fid;
        newName(name2_);
        ++dirs_[dir].entries;
    }
    b.dst_short_name = name2_.c_str();
    // The file keeps its identifier under the new name, but the path table
    // holds one path per identifier: a renamed file is not named again.
}

void FlrJrnSample::makeLink() {
    if (files_.empty()) return makeCreate();
    fillHeader(FLR_JRN_LINK);
    File& f = files_[below(static_cast<uint32_t>(files_.size()))];
    const size_t dir = pickDir(kSampleMaxDepth);
    FlrJrnLink& b = cmd_.link;
    b.src_fid = f.fid;
    b.dst_par_fid = dirs_[dir].fid;
    b.dst_short_name = newName(name1_).c_str();
    ++f.links;
    ++dirs_[dir].entries;
}

void FlrJrnSample::makeSymlink() {
    fillHeader(FLR_JRN_SYMLINK);
    const size_t dir = pickDir(kSampleMaxDepth);
    if (!files_.empty() && below(2) == 0) {
        text_ = paths_.pathOf(files_[below(static_cast<uint32_t>(files_.size()))].fid);
    } else {
        text_ = "../";
        newName(name2_);
        text_ += name2_;
    }
    FlrJrnSymlink& b = cmd_.symlink;
    b.src_name = text_.c_str();
    b.dst_par_fid = dirs_[dir].fid;
    b.dst_short_name = newName(name1_).c_str();
    b.dst_fid = newFid();
    b.uid = 1000 + below(5);
    b.gid = 1000 + below(3);
    // A symlink is named once and never written, so it stays off the file list.
    paths_.set(b.dst_fid, dirs_[dir].path + "/" + name1_);
    ++dirs_[dir].entries;
}

void FlrJrnSample::makeWrite(uint32_t code) {
    if (files_.empty()) return makeCreate();
    fillHeader(code);
    FlrJrnWrite& b = cmd_.write;
    b.fid = files_[below(static_cast<uint32_t>(files_.size()))].fid;
    b.offset = uint64_t{below(1024)} * 4096;
    uint32_t size = opt_.writeSize;
    if (opt_.mix == Mix::Full) {
        const uint32_t r = below(100);
        size = r < 50 ? opt_.writeSize : r < 80 ? 1 + below(4095) : r < 95 ? 8192 : 65536;
    }
    b.size = size;
    b.data = code == FLR_JRN_WRITE_DDR ? nullptr : payload(size);
}

void FlrJrnSample::makeSetattr() {
    fillHeader(FLR_JRN_SETATTR);
    FlrJrnSetattr& b = cmd_.setattr;
    const bool onDir = files_.empty() || below(5) == 0;
    b.fid = onDir ? dirs_[pickDir(kSampleMaxDepth)].fid
                  : files_[below(static_cast<uint32_t>(files_.size()))].fid;
    b.mode_valid = below(2);
    b.uid_valid = below(4) == 0;
    b.gid_valid = below(4) == 0;
    b.atime_valid = below(2);
    b.mtime_valid = below(2);
    b.ctime_valid = 1;
    b.size_valid = !onDir && below(3) == 0;
    b.blocks_valid = b.size_valid;
    b.mode = onDir ? 040755 : 0100644 | (below(2) ? 0111 : 0);
    b.uid = 1000 + below(5);
    b.gid = 1000 + below(3);
    b.atime = someTime();
    b.mtime = someTime();
    b.ctime = FlrJrnTime{clock_, below(1000000000)};
    b.size = b.size_valid ? uint64_t{below(1u << 30)} : 0;
    b.blocks = (b.size + 511) / 512;
}

void FlrJrnSample::makeFileOp(uint32_t code) {
    if (files_.empty()) return makeCreate();
    fillHeader(code);
    const fsf_fid fid = files_[below(static_cast<uint32_t>(files_.size()))].fid;
    switch (code) {
        case FLR_JRN_EXT2_SETFLAGS: {
            constexpr uint32_t kFlags[] = {0x10, 0x20, 0x80, 0x20 | 0x80, 0x4000};
            cmd_.setflags.fid = fid;
            cmd_.setflags.flags = kFlags[below(5)];
            return;
        }
        case FLR_JRN_SET_ACL: {
            // A POSIX ACL as the kernel stores it: version, then tag/perm/id
            // entries, little-endian.
            constexpr uint16_t kEntries[][2] = {{1, 6}, {2, 6}, {4, 4}, {0x10, 6}, {0x20, 4}};
            blob_.assign({2, 0, 0, 0});
            for (const auto& e : kEntries) {
                const uint32_t id = e[0] == 2 ? 1001 + below(4) : 0xffffffffu;
                const uint8_t entry[8] = {
                    static_cast<uint8_t>(e[0]),     static_cast<uint8_t>(e[0] >> 8),
                    static_cast<uint8_t>(e[1]),     static_cast<uint8_t>(e[1] >> 8),
                    static_cast<uint8_t>(id),       static_cast<uint8_t>(id >> 8),
                    static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 24)};
                blob_.insert(blob_.end(), entry, entry + 8);
            }
            cmd_.setacl.fid = fid;
            cmd_.setacl.data_len = static_cast<uint32_t>(blob_.size());
            cmd_.setacl.data = blob_.data();
            return;
        }
        case FLR_JRN_STUB: {
            char meta[96];
            std::snprintf(meta, sizeof meta, "pool=tier2;objid=%016llx;size=%u",
                          static_cast<unsigned long long>(rand()), below(1u << 30));
            text_ = meta;
            cmd_.stub.fid = fid;
            cmd_.stub.meta = text_.c_str();
            return;
        }
        case FLR_JRN_UNSTUB:
            cmd_.unstub.fid = fid;
            return;
        default:  // FLR_JRN_FCLEAR
            cmd_.fclear.fid = fid;
            cmd_.fclear.offset = uint64_t{below(100)} * 4096;
            cmd_.fclear.length = uint64_t{1 + below(64)} * 4096;
            return;
    }
}

void FlrJrnSample::makeXattr(uint32_t code) {
    if (files_.empty()) return makeCreate();
    fillHeader(code);
    const fsf_fid fid = files_[below(static_cast<uint32_t>(files_.size()))].fid;
    name1_ = kXattrNames[below(5)];
    if (code == FLR_JRN_SETXATTR || code == FLR_JRN_SETXATTR_AIX) {
        FlrJrnSetxattr& b = cmd_.setxattr;
        b.fid = fid;
        b.flags = below(3);  // 0, XATTR_CREATE or XATTR_REPLACE
        b.attr_name = name1_.c_str();
        b.attr_len = below(200);
        b.value = payload(b.attr_len);
    } else {
        cmd_.rmxattr.fid = fid;
        cmd_.rmxattr.attr_name = name1_.c_str();
    }
}

void FlrJrnSample::makeOther(uint32_t code) {
    fillHeader(code);
    if (code == FLR_JRN_SNAP) {
        FlrJrnSnap& b = cmd_.snap;
        b.job_id = 5000 + records_;
        char token[64];
        std::snprintf(token, sizeof token, "JOB%llu-%08x",
                      static_cast<unsigned long long>(b.job_id), static_cast<unsigned>(rand()));
        text_ = token;
        b.job_token = text_.c_str();
        // Most sets have small ids; now and then one needs more than 32 bits.
        b.set_id = below(10) == 0 ? (uint64_t{1} << 32) + below(100) : 1 + below(100);
    } else if (code == FLR_JRN_TXTMSG) {
        text_ = kDriverMessages[below(3)];
        cmd_.txtmsg.msg = text_.c_str();
    } else {
        cmd_.noop.reserved = 0;
    }
}

const FlrJrnCommand& FlrJrnSample::next() {
    const uint32_t code = pickCode();
    switch (code) {
        case FLR_JRN_CREATE:
            makeCreate();
            break;
        case FLR_JRN_MKDIR:
            makeMkdir();
            break;
        case FLR_JRN_REMOVE:
            makeRemove();
            break;
        case FLR_JRN_RMDIR:
            makeRmdir();
            break;
        case FLR_JRN_RENAME:
            makeRename();
            break;
        case FLR_JRN_LINK:
            makeLink();
            break;
        case FLR_JRN_SYMLINK:
            makeSymlink();
            break;
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
        case FLR_JRN_WRITE_DDR:
            makeWrite(code);
            break;
        case FLR_JRN_SETATTR:
            makeSetattr();
            break;
        case FLR_JRN_EXT2_SETFLAGS:
        case FLR_JRN_SET_ACL:
        case FLR_JRN_STUB:
        case FLR_JRN_UNSTUB:
        case FLR_JRN_FCLEAR:
            makeFileOp(code);
            break;
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
            makeXattr(code);
            break;
        default:
            makeOther(code);
            break;
    }
    ++records_;
    return cmd_;
}

size_t FlrJrnSample::appendNext(std::vector<uint8_t>& out) {
    const FlrJrnCommand& c = next();
    const size_t size = static_cast<size_t>(getRawCmdSize(&c));
    const size_t at = out.size();
    out.resize(at + size);
    encodeRawCmd(&c, out.data() + at);
    return size;
}

void FlrJrnSample::generate(size_t count, std::vector<uint8_t>& out) {
    for (size_t i = 0; i < count; ++i) appendNext(out);
}
