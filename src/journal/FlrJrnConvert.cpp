#include "FLR/FlrJrnConvert.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "FLR/JxException.h"
#include "platform/JxFile.h"
#include "platform/JxIO.h"

#include <fcntl.h>
#include <unistd.h>

// --- FlrFidPathMap -------------------------------------------------------------

const char* FlrFidPathMap::pathOf(const fsf_fid& fid) const {
    auto it = paths_.find(fid);
    return it == paths_.end() ? nullptr : it->second.c_str();
}

std::string FlrFidPathMap::toText() const {
    // Sorted, so the same table always gives the same file.
    std::vector<const std::pair<const fsf_fid, std::string>*> rows;
    rows.reserve(paths_.size());
    for (const auto& row : paths_) rows.push_back(&row);
    std::sort(rows.begin(), rows.end(), [](auto* a, auto* b) { return a->first < b->first; });
    std::string text;
    char hex[fsf_fid::kHexLen + 1];
    for (const auto* row : rows) {
        text.append(fid2hex(row->first.bytes, hex), fsf_fid::kHexLen);
        text.push_back(' ');
        text.append(row->second);
        text.push_back('\n');
    }
    return text;
}

void FlrFidPathMap::parseText(const std::string& text, const std::string& origin) {
    std::unordered_map<fsf_fid, std::string> parsed;
    size_t lineNo = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        ++lineNo;
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty()) continue;
        if (line.size() < fsf_fid::kHexLen + 2 || line[fsf_fid::kHexLen] != ' ') {
            JX_THROW("FlrFidPathMap::parseText",
                     jxFormat("Bad line %zu in %s: expected \"<48 hex digits> <path>\"", lineNo,
                              origin.c_str()));
        }
        fsf_fid fid;
        try {
            fid = str2fid(line.substr(0, fsf_fid::kHexLen));
        } catch (const JxException& e) {
            JX_THROW("FlrFidPathMap::parseText",
                     jxFormat("Bad line %zu in %s: %s", lineNo, origin.c_str(), e.what()));
        }
        parsed[fid] = line.substr(fsf_fid::kHexLen + 1);
    }
    paths_ = std::move(parsed);
}

void FlrFidPathMap::save(const std::string& file) const {
    for (const auto& row : paths_) {
        if (row.second.find('\n') != std::string::npos) {
            JX_THROW("FlrFidPathMap::save",
                     "Path of " + row.first.toString() + " holds a newline; it cannot be saved");
        }
    }
    const std::string text = toText();
    // Replaced atomically: a crash part-way leaves the previous map, not a cut one.
    try {
        jx::replaceFile(file, text, 0644, "fid map", "FlrJrnConvert");
    } catch (const JxException& e) {
        throw JxException("FlrFidPathMap::save", e.getMessage(), "FlrJrnConvert", __LINE__,
                          e.getCode());
    }
}

void FlrFidPathMap::load(const std::string& file) {
    const jx::File in = jx::openFile(file, O_RDONLY);
    if (!in)
        JX_THROW_ERRNO("FlrFidPathMap::load", "Failed to open " + file + " for reading", errno);
    std::string text;
    char chunk[65536];
    for (;;) {
        const long n = jx::readUpTo(in.get(), chunk, sizeof chunk);
        if (n < 0) JX_THROW_ERRNO("FlrFidPathMap::load", "Failed to read " + file, errno);
        text.append(chunk, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < sizeof chunk) break;
    }
    parseText(text, file);
}

// --- FlrJrnConverter -----------------------------------------------------------

FlrJrnConverter::FlrJrnConverter(const FlrFidResolver& resolver) : resolver_(resolver) {
    // Long enough for nearly every path, so steady state never allocates.
    first_.reserve(4096);
    second_.reserve(4096);
}

const char* FlrJrnConverter::resolve(const fsf_fid& fid, const char* field) {
    const char* path = resolver_.pathOf(fid);
    if (path) return path;
    if (!failed_) {
        char hex[fsf_fid::kHexLen + 1];
        std::snprintf(why_, sizeof why_, "no path known for %s %s", field, fid2hex(fid.bytes, hex));
        failed_ = true;
    }
    return "";
}

const char* FlrJrnConverter::join(std::string& out, const fsf_fid& parent, const char* parentField,
                                  const char* name) {
    const char* dir = resolve(parent, parentField);
    out.assign(dir);
    if (out.empty() || out.back() != '/') out.push_back('/');
    if (name) out.append(name);
    return out.c_str();
}

FlrJrnConvResult FlrJrnConverter::convert(const FlrJrnCommand& raw, FlrJrnCommandNet& net) {
    failed_ = false;
    why_[0] = '\0';
    net.cmd = raw.cmd;
    net.seq_num = raw.seq_num;
    net.timestamp = static_cast<uint32_t>(raw.timestamp);
    net.mask = static_cast<uint32_t>(raw.mask) & 0xFFFFu;
    if (raw.cmd == FLR_JRN_WRITE_DDR || raw.cmd == FLR_JRN_TXTMSG) {
        std::snprintf(why_, sizeof why_, "%s has no network form", flrJrnCodeName(raw.cmd));
        return FlrJrnConvResult::NoNetForm;
    }
    if (raw.cmd == 3 || raw.cmd > FLR_JRN_MAX_CODE) {
        std::snprintf(why_, sizeof why_, "unknown journal command %u", raw.cmd);
        return FlrJrnConvResult::UnknownCommand;
    }
    const FlrJrnConvResult rc = convertBody(raw, net);
    if (rc == FlrJrnConvResult::Ok && failed_) return FlrJrnConvResult::UnknownFid;
    return rc;
}

FlrJrnConvResult FlrJrnConverter::convertBody(const FlrJrnCommand& raw, FlrJrnCommandNet& net) {
    switch (raw.cmd) {
        case FLR_JRN_NOOP:
            net.noop.reserved = 0;
            return FlrJrnConvResult::Ok;
        case FLR_JRN_SNAP:
            net.snap.job_id = raw.snap.job_id;
            net.snap.job_token = raw.snap.job_token;
            net.snap.set_id = raw.snap.set_id;
            return FlrJrnConvResult::Ok;
        case FLR_JRN_SETATTR: {
            const FlrJrnSetattr& r = raw.setattr;
            FlrJrnNetSetattr& n = net.setattr;
            n.path = resolve(r.fid, "fid");
            // The tail sets what it can set: ctime and blocks follow from the rest.
            n.mode_valid = r.mode_valid;
            n.uid_valid = r.uid_valid;
            n.gid_valid = r.gid_valid;
            n.atime_valid = r.atime_valid;
            n.mtime_valid = r.mtime_valid;
            n.size_valid = r.size_valid;
            n.mode = r.mode;
            n.uid = r.uid;
            n.gid = r.gid;
            n.atime = r.atime;
            n.mtime = r.mtime;
            n.size = r.size;
            return FlrJrnConvResult::Ok;
        }
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
            net.write.path = resolve(raw.write.fid, "fid");
            net.write.offset = raw.write.offset;
            net.write.size = raw.write.size;
            net.write.data = raw.write.data;
            return FlrJrnConvResult::Ok;
        case FLR_JRN_CREATE:
        case FLR_JRN_MKDIR: {
            const FlrJrnCreate& r = raw.create;
            FlrJrnNetCreate& n = net.create;
            n.path = join(first_, r.par_fid, "par_fid", r.short_name);
            n.mode = r.mode;
            n.uid = r.uid;
            n.gid = r.gid;
            n.atime = r.atime;
            n.mtime = r.mtime;
            n.rdev = raw.cmd == FLR_JRN_CREATE ? r.rdev : 0;
            return FlrJrnConvResult::Ok;
        }
        default:
            return convertNames(raw, net);
    }
}

FlrJrnConvResult FlrJrnConverter::convertNames(const FlrJrnCommand& raw, FlrJrnCommandNet& net) {
    switch (raw.cmd) {
        case FLR_JRN_REMOVE:
            net.remove.path = join(first_, raw.remove.par_fid, "par_fid", raw.remove.short_name);
            return FlrJrnConvResult::Ok;
        case FLR_JRN_RMDIR:
            net.rmdir.rmdir_flag = 0;
            net.rmdir.path = join(first_, raw.rmdir.par_fid, "par_fid", raw.rmdir.short_name);
            return FlrJrnConvResult::Ok;
        case FLR_JRN_LINK:
            // Copied: resolving the target's parent may reuse the resolver's storage.
            net.link.src_path = first_.assign(resolve(raw.link.src_fid, "src_fid")).c_str();
            net.link.dst_path =
                join(second_, raw.link.dst_par_fid, "dst_par_fid", raw.link.dst_short_name);
            return FlrJrnConvResult::Ok;
        case FLR_JRN_SYMLINK:
            net.symlink.src_name = raw.symlink.src_name;
            net.symlink.dst_path =
                join(second_, raw.symlink.dst_par_fid, "dst_par_fid", raw.symlink.dst_short_name);
            net.symlink.uid = raw.symlink.uid;
            net.symlink.gid = raw.symlink.gid;
            return FlrJrnConvResult::Ok;
        case FLR_JRN_RENAME:
            net.rename.src_path =
                join(first_, raw.rename.src_par_fid, "src_par_fid", raw.rename.src_short_name);
            net.rename.dst_path =
                join(second_, raw.rename.dst_par_fid, "dst_par_fid", raw.rename.dst_short_name);
            return FlrJrnConvResult::Ok;
        default:
            return convertAttrs(raw, net);
    }
}

FlrJrnConvResult FlrJrnConverter::convertAttrs(const FlrJrnCommand& raw, FlrJrnCommandNet& net) {
    switch (raw.cmd) {
        case FLR_JRN_EXT2_SETFLAGS:
            net.setflags.path = resolve(raw.setflags.fid, "fid");
            net.setflags.flags = raw.setflags.flags;
            return FlrJrnConvResult::Ok;
        case FLR_JRN_SET_ACL:
            net.setacl.path = resolve(raw.setacl.fid, "fid");
            net.setacl.acl_word = 0;
            net.setacl.data_len = raw.setacl.data_len;
            net.setacl.data = raw.setacl.data;
            return FlrJrnConvResult::Ok;
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
            net.setxattr.path = resolve(raw.setxattr.fid, "fid");
            net.setxattr.flags = raw.setxattr.flags;
            net.setxattr.attr_name = raw.setxattr.attr_name;
            net.setxattr.attr_len = raw.setxattr.attr_len;
            net.setxattr.value = raw.setxattr.value;
            return FlrJrnConvResult::Ok;
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
            net.rmxattr.path = resolve(raw.rmxattr.fid, "fid");
            net.rmxattr.attr_name = raw.rmxattr.attr_name;
            return FlrJrnConvResult::Ok;
        case FLR_JRN_STUB:
            net.stub.path = resolve(raw.stub.fid, "fid");
            net.stub.meta = raw.stub.meta;
            return FlrJrnConvResult::Ok;
        case FLR_JRN_UNSTUB:
            net.unstub.path = resolve(raw.unstub.fid, "fid");
            return FlrJrnConvResult::Ok;
        case FLR_JRN_FCLEAR:
            net.fclear.path = resolve(raw.fclear.fid, "fid");
            net.fclear.offset = raw.fclear.offset;
            net.fclear.length = raw.fclear.length;
            return FlrJrnConvResult::Ok;
        default:
            std::snprintf(why_, sizeof why_, "unknown journal command %u", raw.cmd);
            return FlrJrnConvResult::UnknownCommand;
    }
}
