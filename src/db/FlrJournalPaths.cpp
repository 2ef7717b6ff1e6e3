// The head journal service's view of names: database paths mapped to the
// pair's folders, and the name database kept current by journal records.
#include <utility>

#include "FlrJournalPaths.h"

namespace {

// "/" stays; anything else loses trailing slashes.
std::string trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// folder + rest, where rest is empty or starts with "/"; never "//".
void joinFolder(std::string_view folder, std::string_view rest, std::string& out) {
    out.assign(folder == "/" ? std::string_view() : folder);
    out.append(rest);
    if (out.empty()) out = "/";
}

bool known(FlrDatabase& db, const fsf_fid& fid) {
    return !db.fidToNodeName(fid).empty();
}

FlrNameDbChange addOrKeep(FlrDatabase& db, const fsf_fid& parent, const char* name,
                          const fsf_fid& fid, FLR_FTYPE type, uint64_t seq) {
    if (!known(db, parent)) return FlrNameDbChange::None;
    FlrDatabase::Child child;
    if (db.find(parent, name, &child)) {
        if (child.fid == fid) return FlrNameDbChange::None;
        // A stale entry under the same name (its removal was not journaled).
        db.delTree(parent, name);
        db.addNode(parent, name, fid, type, seq);
        return FlrNameDbChange::Replaced;
    }
    db.addNode(parent, name, fid, type, seq);
    return FlrNameDbChange::Added;
}

FlrNameDbChange removeIfThere(FlrDatabase& db, const fsf_fid& parent, const char* name) {
    return db.delTree(parent, name) ? FlrNameDbChange::Removed : FlrNameDbChange::None;
}

FlrNameDbChange rename(FlrDatabase& db, const FlrJrnRename& r, uint64_t seq) {
    FlrDatabase::Child src;
    const bool srcThere = db.find(r.src_par_fid, r.src_short_name, &src);
    const bool dstParKnown = known(db, r.dst_par_fid);
    if (srcThere && dstParKnown) {
        db.renameNode(r.src_par_fid, r.src_short_name, r.dst_par_fid, r.dst_short_name);
        return FlrNameDbChange::Renamed;
    }
    if (srcThere) return removeIfThere(db, r.src_par_fid, r.src_short_name);  // moved out
    // Moved in from elsewhere, or already renamed (taken again): the name
    // now belongs to the moved file.
    return addOrKeep(db, r.dst_par_fid, r.dst_short_name, r.src_fid, FLR_FTYPE_FILE, seq);
}

}  // namespace

FlrJournalPaths::FlrJournalPaths(FlrDatabase& db, std::string source, std::string dbRoot,
                                 std::string destination)
    : db_(db),
      source_(trimmed(std::move(source))),
      dbRoot_(trimmed(dbRoot.empty() ? source_ : std::move(dbRoot))),
      destination_(trimmed(std::move(destination))) {}

bool FlrJournalPaths::within(std::string_view path, std::string_view folder) {
    if (folder == "/") return !path.empty() && path[0] == '/';
    return path.substr(0, folder.size()) == folder &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

bool FlrJournalPaths::toDestination(std::string_view sourcePath, std::string& out) const {
    if (!within(sourcePath, source_)) return false;
    joinFolder(destination_, sourcePath.substr(source_ == "/" ? 0 : source_.size()), out);
    return true;
}

bool FlrJournalPaths::toSource(std::string_view destPath, std::string& out) const {
    if (!within(destPath, destination_)) return false;
    joinFolder(source_, destPath.substr(destination_ == "/" ? 0 : destination_.size()), out);
    return true;
}

const char* FlrJournalPaths::pathOf(const fsf_fid& fid) const {
    const std::string node = db_.fidToNodeName(fid);
    if (node.empty()) return nullptr;
    std::string& scratch = slots_[next_++ % 4];
    std::string& out = slots_[next_++ % 4];
    joinFolder(dbRoot_, node == "/" ? std::string_view() : std::string_view(node), scratch);
    if (!toDestination(scratch, out)) return nullptr;
    return out.c_str();
}

const char* flrJournalChangedPath(const FlrJrnCommandNet& n) {
    switch (n.cmd) {
        case FLR_JRN_SETATTR:
            return n.setattr.path;
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
            return n.write.path;
        case FLR_JRN_CREATE:
        case FLR_JRN_MKDIR:
            return n.create.path;
        case FLR_JRN_REMOVE:
            return n.remove.path;
        case FLR_JRN_RMDIR:
            return n.rmdir.path;
        case FLR_JRN_LINK:
            return n.link.dst_path;
        case FLR_JRN_SYMLINK:
            return n.symlink.dst_path;
        case FLR_JRN_RENAME:
            return n.rename.dst_path;
        case FLR_JRN_EXT2_SETFLAGS:
            return n.setflags.path;
        case FLR_JRN_SET_ACL:
            return n.setacl.path;
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
            return n.setxattr.path;
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
            return n.rmxattr.path;
        case FLR_JRN_STUB:
            return n.stub.path;
        case FLR_JRN_UNSTUB:
            return n.unstub.path;
        case FLR_JRN_FCLEAR:
            return n.fclear.path;
        default:
            return nullptr;
    }
}

FlrNameDbChange flrApplyToNameDb(FlrDatabase& db, const FlrJrnCommand& c) {
    switch (c.cmd) {
        case FLR_JRN_CREATE:
            return addOrKeep(db, c.create.par_fid, c.create.short_name, c.create.fid,
                             FLR_FTYPE_FILE, c.seq_num);
        case FLR_JRN_MKDIR:
            return addOrKeep(db, c.mkdir.par_fid, c.mkdir.short_name, c.mkdir.fid, FLR_FTYPE_DIR,
                             c.seq_num);
        case FLR_JRN_SYMLINK:
            return addOrKeep(db, c.symlink.dst_par_fid, c.symlink.dst_short_name, c.symlink.dst_fid,
                             FLR_FTYPE_FILE, c.seq_num);
        case FLR_JRN_LINK:
            return addOrKeep(db, c.link.dst_par_fid, c.link.dst_short_name, c.link.src_fid,
                             FLR_FTYPE_FILE, c.seq_num);
        case FLR_JRN_REMOVE:
            return removeIfThere(db, c.remove.par_fid, c.remove.short_name);
        case FLR_JRN_RMDIR:
            return removeIfThere(db, c.rmdir.par_fid, c.rmdir.short_name);
        case FLR_JRN_RENAME:
            return rename(db, c.rename, c.seq_num);
        default:
            return FlrNameDbChange::None;
    }
}
