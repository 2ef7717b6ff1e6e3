#pragma once
// One entry being applied: from its MIR_HEADER to its MIR_EOF. A regular file
// is written under a temporary name and renamed into place by commit(); a
// link, FIFO or device node is made under a temporary name at finish() and
// renamed the same way; a folder is made at once and gets its attributes at
// commit(). Failures throw JxException; destroyed uncommitted, the entry
// removes its temporary and the old copy stays.
//
// Data placement by method: full (0) and MD5 (1) write MIR_DATA at the
// current offset, which MIR_SEEK moves; under MD5 every byte the head did not
// send comes from the old copy at the same offset. RSync (2) appends: each
// MIR_RSYNC range of the old copy and each MIR_DATA piece lands after the
// previous one. LBFS (3) places verified blocks with writeAt(), possibly
// from another session's thread (the caller serialises). The header's size is
// final: the file is cut or extended to it.
//
// MD5 and RSync build only over the copy the head's checksums described
// (FlrTailCopyId, taken from the applier's FlrTailAnswered): a copy that
// changed since or vanished fails the entry at its header, before anything
// is renamed; old bytes past the old copy's end fail it too. Either way the
// copy stays as it is and the next run resends. An entry no answer is known
// for (write intervals are sent without asking) uses the copy there.
//
// In place (Options::inPlace with file syncing on, MD5 and RSync over an old
// copy with one link, on a file system that overwrites blocks where they are):
// the old copy itself is renamed to the temporary name at the header, so no
// name shows it while it is being changed, and only the blocks that differ
// are written. Those writes (and the new size and attributes) are held in
// memory until the batch's sync has made the rename durable; applyHeld() then
// reserves the space they need and writes them before the batch's second
// sync. Past Options::inPlaceKeepBytes held, the entry leaves the old copy as
// it is and goes on as a new file built beside it. So the old copy changes
// only once its new bytes are all here and their space is reserved: a cut or
// failed entry (a full disk included) gives the old copy its name back, and
// the next run sends the file again (its run never completed).
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FlrTailAnswers.h"
#include "FlrTailApplier.h"
#include "FlrTailRecut.h"
#include "net/FlrNetMessage.h"
#include "platform/JxFile.h"
#include "platform/JxXattr.h"

class FlrTailApplyEntry {
  public:
    enum class Kind { File, Folder, Link, Special };

    // rel: the entry's path relative to the root (already confined).
    // described: for MD5 and RSync, the copy the checksum answer for rel
    // described (none when no answer is known).
    // folders: where the entry takes its open folder from (null: opened
    // for it alone).
    FlrTailApplyEntry(const FlrTailRoot& root, const FlrTailApplier::Options& options,
                      const FlrNetMirHeader& header, const std::string& rel,
                      const std::optional<FlrTailCopyId>& described = std::nullopt,
                      FlrTailFolderCache* folders = nullptr);
    ~FlrTailApplyEntry();
    FlrTailApplyEntry(const FlrTailApplyEntry&) = delete;
    FlrTailApplyEntry& operator=(const FlrTailApplyEntry&) = delete;

    Kind kind() const { return kind_; }
    uint8_t method() const { return method_; }
    const std::string& rel() const { return rel_; }
    int64_t size() const { return size_; }
    // The open folder the entry is put into (its name there is the leaf).
    int parentFd() const { return parent_ ? parent_->get() : -1; }
    // True when the existing copy is kept (overwrite off): data is ignored.
    bool keeping() const { return keep_; }
    // Bytes the entry's file holds (what its commit makes durable), or the
    // bytes it holds in memory when more.
    long long bytes() const { return kind_ == Kind::File ? std::max(size_, heldBytes_) : 0; }
    // MD5 and RSync: the old copy's size and the ranges of the new file that
    // may differ from it at the same offset (all, when there was no old copy).
    int64_t oldSize() const { return oldSize_; }
    const FlrTailChangedRanges& changedRanges() const { return changed_; }
    // True while an in-place update holds its writes (see above).
    bool holdingWrites() const { return held_; }
    // Once the rename of an in-place update is durable: writes what was held,
    // then the size and attributes. The caller syncs before commit().
    void applyHeld();

    void acl(const void* data, size_t len);
    // MIR_ATTRS: full times and the extended attribute set (FlrTailApplyAttrs.cpp).
    void attrs(const FlrNetMirAttrs& a);
    void data(const void* data, size_t len, FlrTailApplyStats& stats);
    void seek(long long offset);
    void rsync(const FlrNetMirRSync& refs, FlrTailApplyStats& stats);
    // Writes len bytes at offset of the new file (LBFS blocks).
    void writeAt(const void* data, size_t len, int64_t offset);
    // At MIR_EOF: completes the temporary (size, owner, mode, ACL, times;
    // links and special files are made under their temporary name).
    void finish(FlrTailApplyStats& stats);
    // Puts the finished entry in place (rename; a folder's attributes) and
    // counts it. The caller makes the data durable in between.
    void commit(FlrTailApplyStats& stats);

    // Called once a file, link or special file has taken its name (the
    // content store's bookkeeping); must not throw.
    std::function<void()> placed;
    // Told of every MIR_DATA piece written (data, length, offset); must not
    // throw.
    std::function<void(const void*, size_t, int64_t)> wrote;

  private:
    void openFile(const FlrNetMirHeader& h);
    void openFolder();
    bool openOld(const struct stat* st);
    bool openInPlace(const struct stat& st);
    [[noreturn]] void changedSinceAnswer() const;
    void checkOldUnchanged() const;
    bool answeredNoCopy() const;
    void fillFromOld(int64_t from, int64_t to, FlrTailApplyStats& stats);
    void copyFromOld(int64_t from, int64_t len, int64_t to);
    void readOld(void* buf, size_t len, int64_t off);
    void keepOld(int64_t from, int64_t len);
    void writeOut(const void* data, size_t len, int64_t offset);
    void hold(const void* data, size_t len, int64_t offset);
    void leaveInPlace();
    int reserveHeld();
    void cutBackToOldSize();
    void completeFile();
    void buildBeside(int64_t decided);
    void createTemporary();
    void setAttributes(int fd);
    void setAttributesAt(const std::string& name);
    void applyXattrs(int fd, const std::string& name);
    void replaceWithTemp();
    [[noreturn]] void fail(const std::string& what, int err) const;

    const FlrTailRoot& root_;
    const FlrTailApplier::Options& options_;
    std::string rel_;
    Kind kind_;
    uint8_t method_;
    bool keep_ = false;
    mode_t mode_;
    uid_t uid_;
    gid_t gid_;
    dev_t rdev_;
    int64_t size_;
    int64_t atime_;
    int64_t mtime_;
    long atimeNsec_ = 0;
    long mtimeNsec_ = 0;
    bool hasACL_;
    // The source's attribute set when it came (and the namespaces it covers).
    bool hasXattrs_ = false;
    unsigned xattrScope_ = 0;
    std::vector<jx::Xattr> xattrs_;

    // Shared with the other entries of its folder (FlrTailFolderCache).
    std::shared_ptr<const jx::File> parent_;
    std::string leaf_;
    std::string temp_;
    jx::File out_;  // the temporary file being written
    jx::File old_;  // the old copy (MD5, RSync); unset in place (out_ is it)
    // MD5, RSync: the copy the head's checksums described.
    std::optional<FlrTailCopyId> described_;
    bool inPlace_ = false;
    bool wrote_ = false;  // in place: the old copy has been changed
    bool held_ = false;   // in place: writes wait for the rename to be durable
    std::vector<std::pair<int64_t, std::string>> heldPieces_;  // in arrival order
    int64_t heldBytes_ = 0;
    std::string oldTemp_;  // an old copy changed in place, then built beside
    // Old bytes overwritten in place, by offset (adjacent ranges merged).
    std::map<int64_t, std::string> saved_;
    int64_t savedBytes_ = 0;
    int64_t oldSize_ = 0;
    FlrTailChangedRanges changed_;
    int64_t cursor_ = 0;    // where the next data lands
    int64_t frontier_ = 0;  // bytes [0, frontier) of the new file are decided
    std::string linkTarget_;
    std::vector<unsigned char> acl_;
    bool done_ = false;
};
