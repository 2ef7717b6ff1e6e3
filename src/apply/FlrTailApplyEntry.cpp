// One entry of a transfer, applied beneath the destination root.
#include "FlrTailApplyEntry.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "FLR/JxException.h"
#include "FlrTailPrivileged.h"
#include "platform/EvDebug.h"
#include "platform/JxACL.h"
#include "platform/JxDirFd.h"
#include "platform/JxSparse.h"

namespace {

const char* const kApplyEntryFn = "FlrTailApplyEntry";
// No offset or size beyond this is believed (it keeps every sum below 2^63).
constexpr int64_t kApplyMaxOffset = int64_t{1} << 60;
constexpr int64_t kEarlyWritebackBytes = 256 << 10;
constexpr int64_t kCopyPiece = 1 << 20;

FlrTailApplyEntry::Kind kindOf(uint64_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return FlrTailApplyEntry::Kind::File;
        case S_IFDIR:
            return FlrTailApplyEntry::Kind::Folder;
        case S_IFLNK:
            return FlrTailApplyEntry::Kind::Link;
        case S_IFIFO:
        case S_IFCHR:
        case S_IFBLK:
        case S_IFSOCK:
            return FlrTailApplyEntry::Kind::Special;
        default:
            JX_THROW(kApplyEntryFn,
                     "Unknown file type " + jxFormat("0%llo", (unsigned long long)mode));
    }
}

}  // namespace

FlrTailApplyEntry::FlrTailApplyEntry(const FlrTailRoot& root,
                                     const FlrTailApplier::Options& options,
                                     const FlrNetMirHeader& h, const std::string& rel,
                                     const std::optional<FlrTailCopyId>& described,
                                     FlrTailFolderCache* folders)
    : root_(root),
      options_(options),
      rel_(rel),
      kind_(kindOf(h.mode)),
      method_(h.method),
      mode_(static_cast<mode_t>(h.mode)),
      uid_(static_cast<uid_t>(h.uid)),
      gid_(static_cast<gid_t>(h.gid)),
      rdev_(static_cast<dev_t>(h.rdev)),
      size_(static_cast<int64_t>(h.size)),
      atime_(h.atime),
      mtime_(h.mtime),
      hasACL_(h.hasACL != 0),
      described_(described) {
    if (h.size > static_cast<uint64_t>(kApplyMaxOffset))
        JX_THROW(kApplyEntryFn, "Size out of range");
    if (rel_.empty() && kind_ != Kind::Folder)
        JX_THROW(kApplyEntryFn, "Only a folder can take the place of the destination root");
    if (rel_.empty()) {
        jx::File dir = root_.openDir("");
        if (!dir) fail("open the destination root", errno);
        parent_ = std::make_shared<const jx::File>(std::move(dir));
        return;
    }
    if (folders) {
        parent_ = folders->openParent(root_, rel_, &leaf_);
    } else if (jx::File dir = root_.openParent(rel_, true, &leaf_)) {
        parent_ = std::make_shared<const jx::File>(std::move(dir));
    }
    if (!parent_) fail("open the folder of", errno);
    if (kind_ == Kind::Folder) openFolder();
    if (kind_ == Kind::File) openFile(h);
}

FlrTailApplyEntry::~FlrTailApplyEntry() {
    if (done_ || !parent_) return;
    // An old copy not changed yet gets its name back; a changed one goes,
    // and the next run sends the file again. Never over a file put there
    // meanwhile: a later run that found the name empty placed a newer copy.
    if (inPlace_ && !wrote_) {
        cutBackToOldSize();
        if (jx::renameNoReplaceAt(parentFd(), temp_, leaf_) == 0) return;
    }
    if (!temp_.empty()) jx::unlinkAt(parentFd(), temp_, false);
    if (oldTemp_.empty()) return;
    if (!wrote_ && jx::renameNoReplaceAt(parentFd(), oldTemp_, leaf_) == 0) return;
    jx::unlinkAt(parentFd(), oldTemp_, false);
}

// An in-place update that failed before it changed an old byte: what it
// appended goes, and the old copy is as it was.
void FlrTailApplyEntry::cutBackToOldSize() {
    jx::File f = out_ ? std::move(out_) : jx::openRegularBeneath(parentFd(), temp_, O_WRONLY);
    if (f) jx::fileOps().ftruncate(f.get(), oldSize_);
}

void FlrTailApplyEntry::fail(const std::string& what, int err) const {
    JX_THROW_CODE(kApplyEntryFn, "Couldn't " + what + " " + rel_ + ": " + jxErrnoText(err), err);
}

void FlrTailApplyEntry::openFolder() {
    struct stat st {};
    if (jx::statAt(parentFd(), leaf_, &st) == 0) {
        if (S_ISDIR(st.st_mode)) return;
        if (const int err = FlrTailRoot::removeEntry(parentFd(), leaf_))
            fail("remove the non-folder at", err);
    }
    if (jx::mkdirAt(parentFd(), leaf_, 0700) != 0 && errno != EEXIST)
        fail("make the folder", errno);
}

void FlrTailApplyEntry::openFile(const FlrNetMirHeader& h) {
    struct stat st {};
    const bool exists = jx::statAt(parentFd(), leaf_, &st) == 0;
    if (exists && !h.overwrite && S_ISREG(st.st_mode)) {
        keep_ = true;
        return;
    }
    if (method_ > FlrNetMirHeader::kLBFS)
        JX_THROW(kApplyEntryFn,
                 jxFormat("Transfer method %d is not applied by this tail", method_) + " (" + rel_ +
                     ")");
    if (method_ == FlrNetMirHeader::kMD5 || method_ == FlrNetMirHeader::kRSync) {
        if (!described_) {
            // Nobody asked (write intervals are sent for a copy the head's
            // journal knows): the copy there now is the old copy.
            if (exists && S_ISREG(st.st_mode) && openOld(&st)) return;
        } else if (described_->present && openOld(exists ? &st : nullptr)) {
            // An answer that described no copy: every byte comes from the head.
            return;
        }
    }
    if (!old_) changed_.all();
    createTemporary();
}

// The copy the checksums described, checked by name and then on the open
// descriptor (a rename in between would swap it): the blocks the head skips
// must be its bytes. True when it is updated in place.
bool FlrTailApplyEntry::openOld(const struct stat* st) {
    auto described = [&](const struct stat& s) { return !described_ || described_->sameCopy(s); };
    if (!st || !S_ISREG(st->st_mode) || !described(*st)) changedSinceAnswer();
    // Another link would see the blocks change: such a copy is built beside.
    if (options_.inPlace && options_.syncFiles && st->st_nlink == 1 && openInPlace(*st))
        return true;
    struct stat ost {};
    old_ = jx::openRegularBeneath(parentFd(), leaf_, O_RDONLY, &ost);
    if (!old_ && errno != ENXIO && errno != EISDIR) fail("open the old copy of", errno);
    if (!old_ || !described(ost)) changedSinceAnswer();
    oldSize_ = ost.st_size;
    return false;
}

void FlrTailApplyEntry::changedSinceAnswer() const {
    JX_THROW(kApplyEntryFn,
             rel_ +
                 " changed on the tail since its checksums were sent: its delta is not "
                 "applied, the next run sends it again");
}

// The old copy read beside must not change while the delta is built from it.
void FlrTailApplyEntry::checkOldUnchanged() const {
    if (!old_ || !oldTemp_.empty() || !described_) return;
    struct stat st {};
    if (jx::fileOps().fstat(old_.get(), &st) != 0) fail("examine the old copy of", errno);
    if (!described_->sameCopy(st)) changedSinceAnswer();
}

// The old copy leaves its name before its first block changes; false (and
// nothing changed) when it cannot be written or renamed.
bool FlrTailApplyEntry::openInPlace(const struct stat& st) {
    struct stat fst {};
    jx::File f = jx::openRegularBeneath(parentFd(), leaf_, O_RDWR, &fst);
    if (!f || !jx::overwritesInPlace(f.get()) || fst.st_nlink != 1 || fst.st_ino != st.st_ino ||
        (described_ && !described_->sameCopy(fst)))
        return false;
    const std::string temp = FlrTailRoot::temporaryName(leaf_);
    if (jx::renameAt(parentFd(), leaf_, temp) != 0) return false;
    temp_ = temp;
    out_ = std::move(f);
    inPlace_ = true;
    oldSize_ = fst.st_size;
    // A power cut must not find the changed copy under its name: the writes
    // wait in memory until the batch's sync has made the rename durable
    // (one sync for the batch instead of a folder sync per file).
    held_ = options_.syncFiles;
    return true;
}

// Too much to hold: nothing has touched the old copy yet, so instead of
// changing it in place the new copy is built beside it (the old bytes up to
// where the transfer got, then what was held over them), and the old copy
// keeps its content until the new one has replaced it.
void FlrTailApplyEntry::leaveInPlace() {
    std::vector<std::pair<int64_t, std::string>> pieces;
    pieces.swap(heldPieces_);
    heldBytes_ = 0;
    held_ = false;
    const int64_t decided = method_ == FlrNetMirHeader::kRSync ? cursor_ : frontier_;
    buildBeside(std::min(decided, oldSize_));
    for (const auto& [offset, bytes] : pieces)
        if (const int err = jx::writeSparseAt(out_.get(), bytes.data(), bytes.size(), offset))
            fail("write", err);
}

void FlrTailApplyEntry::hold(const void* data, size_t len, int64_t offset) {
    if (heldBytes_ + static_cast<int64_t>(len) > options_.inPlaceKeepBytes) {
        leaveInPlace();
        writeOut(data, len, offset);
        return;
    }
    const char* p = static_cast<const char*>(data);
    heldBytes_ += static_cast<int64_t>(len);
    if (!heldPieces_.empty()) {
        auto& last = heldPieces_.back();
        if (last.first + static_cast<int64_t>(last.second.size()) == offset) {
            last.second.append(p, len);
            return;
        }
    }
    heldPieces_.emplace_back(offset, std::string(p, len));
}

void FlrTailApplyEntry::applyHeld() {
    if (!held_) return;
    held_ = false;
    // The old copy changes only once the space for all of its new bytes is
    // reserved: a full disk then fails the entry before its first write, and
    // the old copy gets its name back.
    if (const int err = reserveHeld()) {
        jx::fileOps().ftruncate(out_.get(), oldSize_);  // frees what was reserved
        fail("make room for", err);
    }
    // Every copy reference has been followed: no old byte is needed any more.
    for (const auto& [offset, bytes] : heldPieces_) {
        // Bytes past the old end change nothing of the old copy: cut off
        // again, it is whole (cutBackToOldSize).
        if (offset < oldSize_) wrote_ = true;
        if (const int err = jx::writeSparseAt(out_.get(), bytes.data(), bytes.size(), offset))
            fail("write", err);
    }
    heldPieces_.clear();
    heldBytes_ = 0;
    completeFile();
}

// The blocks the held pieces will take, and only those: the old copy's holes
// that no piece fills stay holes (zero runs are punched, not written).
int FlrTailApplyEntry::reserveHeld() {
    for (const auto& [offset, bytes] : heldPieces_) {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        int err = 0;
        jx::forEachZeroRun(
            p, bytes.size(), offset, jx::kHoleUnit, [&](size_t from, size_t n, bool zero) {
                if (!zero && !err)
                    err = jx::reserveRange(out_.get(), offset + static_cast<int64_t>(from),
                                           static_cast<int64_t>(n));
            });
        if (err) return err;
    }
    return 0;
}

void FlrTailApplyEntry::createTemporary() {
    for (int attempt = 0; attempt < 8 && !out_; ++attempt) {
        temp_ = FlrTailRoot::temporaryName(leaf_);
        out_ = jx::openBeneath(parentFd(), temp_, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (!out_ && errno != EEXIST) break;
    }
    if (!out_) {
        const int err = errno;
        temp_.clear();
        fail("create a temporary file for", err);
    }
}

void FlrTailApplyEntry::acl(const void* data, size_t len) {
    if (len > options_.maxACL) JX_THROW(kApplyEntryFn, "ACL form too large for " + rel_);
    const auto* p = static_cast<const unsigned char*>(data);
    acl_.assign(p, p + len);
}

// MD5: bytes the head did not send are the old copy's at the same offset
// (in place they are there already). A range past the old copy's end cannot
// be what the head skipped: zeros there would look like its file.
void FlrTailApplyEntry::fillFromOld(int64_t from, int64_t to, FlrTailApplyStats& stats) {
    if (from >= to) return;
    if (to > oldSize_)
        JX_THROW(kApplyEntryFn,
                 jxFormat("Skipped bytes [%lld, %lld) are past the end of the old copy (%lld "
                          "bytes) of ",
                          static_cast<long long>(from), static_cast<long long>(to),
                          static_cast<long long>(oldSize_)) +
                     rel_);
    if (!inPlace_) copyFromOld(from, to - from, from);
    stats.reused += to - from;
}

// Copies old bytes [from, from + len) to `to` of the new file.
void FlrTailApplyEntry::copyFromOld(int64_t from, int64_t len, int64_t to) {
    if (!inPlace_ && saved_.empty()) {
        // Beyond what is decided the new file is unwritten: the old copy's
        // holes stay holes.
        if (const int err = jx::copyDataRanges(old_.get(), from, out_.get(), to, len))
            fail("copy from the old copy of", err);
        return;
    }
    std::vector<char> buf(static_cast<size_t>(std::min(len, kCopyPiece)));
    while (len > 0) {
        const int64_t n = std::min<int64_t>(len, static_cast<int64_t>(buf.size()));
        readOld(buf.data(), static_cast<size_t>(n), from);
        writeOut(buf.data(), static_cast<size_t>(n), to);
        from += n;
        to += n;
        len -= n;
    }
}

// The old copy's bytes at off: the file's, except where an in-place write
// changed them (their old value was kept).
void FlrTailApplyEntry::readOld(void* buf, size_t len, int64_t off) {
    const int fd = inPlace_ ? out_.get() : old_.get();
    const ssize_t n = jx::readFullAt(fd, buf, len, off);
    if (n < 0 || static_cast<size_t>(n) != len) fail("read the old copy of", n < 0 ? errno : EIO);
    const int64_t end = off + static_cast<int64_t>(len);
    auto it = saved_.upper_bound(off);
    if (it != saved_.begin()) --it;
    for (; it != saved_.end() && it->first < end; ++it) {
        const int64_t a = std::max(off, it->first);
        const int64_t b = std::min(end, it->first + static_cast<int64_t>(it->second.size()));
        if (a < b)
            std::memcpy(static_cast<char*>(buf) + (a - off), it->second.data() + (a - it->first),
                        static_cast<size_t>(b - a));
    }
}

// Before an in-place RSync write at `from` (always the end of what is
// decided): keeps the old bytes it replaces, which a later copy reference
// may name. Past the bound the file is built beside from here on.
void FlrTailApplyEntry::keepOld(int64_t from, int64_t len) {
    if (!inPlace_ || method_ != FlrNetMirHeader::kRSync) return;
    const int64_t to = std::min(from + len, oldSize_);
    if (from >= to) return;
    if (savedBytes_ + (to - from) > options_.inPlaceKeepBytes) {
        buildBeside(from);
        return;
    }
    std::string bytes(static_cast<size_t>(to - from), '\0');
    const ssize_t n = jx::readFullAt(out_.get(), bytes.data(), bytes.size(), from);
    if (n < 0 || static_cast<size_t>(n) != bytes.size())
        fail("read the old copy of", n < 0 ? errno : EIO);
    savedBytes_ += to - from;
    if (!saved_.empty()) {
        auto last = std::prev(saved_.end());
        if (last->first + static_cast<int64_t>(last->second.size()) == from) {
            last->second += bytes;
            return;
        }
    }
    saved_.emplace(from, std::move(bytes));
}

// Leaves the in-place update: the decided bytes [0, decided) go to a new
// temporary, and the changed copy (with the kept bytes) is the old copy.
void FlrTailApplyEntry::buildBeside(int64_t decided) {
    jx::File changed = std::move(out_);
    oldTemp_ = temp_;
    temp_.clear();
    inPlace_ = false;
    old_ = std::move(changed);
    createTemporary();
    if (const int err = jx::copyDataRanges(old_.get(), 0, out_.get(), 0, decided))
        fail("copy the updated part of", err);
}

void FlrTailApplyEntry::writeOut(const void* data, size_t len, int64_t offset) {
    if (held_) {
        hold(data, len, offset);
        return;
    }
    keepOld(offset, static_cast<int64_t>(len));
    if (inPlace_) wrote_ = true;
    if (const int err = jx::writeSparseAt(out_.get(), data, len, offset)) fail("write", err);
}

void FlrTailApplyEntry::data(const void* data, size_t len, FlrTailApplyStats& stats) {
    if (keep_) return;
    if (kind_ == Kind::Link) {
        if (linkTarget_.size() + len > options_.maxLinkTarget)
            JX_THROW(kApplyEntryFn, "Link target too long for " + rel_);
        linkTarget_.append(static_cast<const char*>(data), len);
        return;
    }
    if (kind_ != Kind::File) return;  // folders and special files carry no data
    if (method_ == FlrNetMirHeader::kLBFS)
        JX_THROW(kApplyEntryFn, "Literal data inside an LBFS transfer of " + rel_);
    const int64_t n = static_cast<int64_t>(len);
    if (cursor_ + n > kApplyMaxOffset)
        JX_THROW(kApplyEntryFn, "Data beyond the largest offset for " + rel_);
    if (method_ == FlrNetMirHeader::kMD5 && cursor_ > frontier_ && !answeredNoCopy())
        fillFromOld(frontier_, cursor_, stats);
    writeOut(data, len, cursor_);
    changed_.add(cursor_, n);
    if (wrote) wrote(data, len, cursor_);
    cursor_ += n;
    frontier_ = std::max(frontier_, cursor_);
    stats.bytes += n;
}

void FlrTailApplyEntry::seek(long long offset) {
    if (keep_ || kind_ != Kind::File) return;
    if (offset < 0 || offset > kApplyMaxOffset)
        JX_THROW(kApplyEntryFn, "Seek out of range for " + rel_);
    if (method_ == FlrNetMirHeader::kRSync && !(answeredNoCopy() && offset >= cursor_))
        JX_THROW(kApplyEntryFn, "Seek inside an RSync delta of " + rel_);
    cursor_ = offset;
}

// The head was told there is no copy: a delta then skips only holes, which
// read as zeros (forward only under RSync, which grows at its end).
bool FlrTailApplyEntry::answeredNoCopy() const {
    return described_ && !described_->present && !old_ && !inPlace_;
}

void FlrTailApplyEntry::rsync(const FlrNetMirRSync& refs, FlrTailApplyStats& stats) {
    if (keep_ || kind_ != Kind::File) return;
    if (method_ != FlrNetMirHeader::kRSync)
        JX_THROW(kApplyEntryFn, "Copy references outside RSync for " + rel_);
    for (int i = 0; i < refs.count; ++i) {
        const long long off = refs.firstAt(i);
        const long long len = refs.secondAt(i);
        if (off < 0 || len < 0 || off > oldSize_ || len > oldSize_ - off)
            JX_THROW(
                kApplyEntryFn,
                jxFormat("Copy reference [%lld+%lld] outside the old copy of ", off, len) + rel_);
        if (cursor_ + len > kApplyMaxOffset)
            JX_THROW(kApplyEntryFn, "Data beyond the largest offset for " + rel_);
        if (len == 0) continue;
        // In place, a block that stays where it was is there already.
        if (!inPlace_ || off != cursor_) copyFromOld(off, len, cursor_);
        if (off != cursor_) changed_.add(cursor_, len);
        cursor_ += len;
        frontier_ = std::max(frontier_, cursor_);
        stats.reused += len;
    }
}

void FlrTailApplyEntry::writeAt(const void* data, size_t len, int64_t offset) {
    if (offset < 0 || offset > kApplyMaxOffset - static_cast<int64_t>(len))
        JX_THROW(kApplyEntryFn, "Data beyond the largest offset for " + rel_);
    if (const int err = jx::writeSparseAt(out_.get(), data, len, offset)) fail("write", err);
}

void FlrTailApplyEntry::setAttributes(int fd) {
    if (options_.setOwners && jx::chownFd(fd, uid_, gid_) != 0) fail("set the owner of", errno);
    if (jx::chmodFd(fd, mode_ & 07777) != 0) fail("set the mode of", errno);
    if (hasACL_ && !acl_.empty()) JxACL::Helper().apply(fd, acl_.data(), acl_.size());
    applyXattrs(fd, {});
    if (jx::setTimesFd(fd, atime_, mtime_, atimeNsec_, mtimeNsec_) != 0)
        fail("set the times of", errno);
}

// Links and special files: by name, never through a link.
void FlrTailApplyEntry::setAttributesAt(const std::string& name) {
    if (options_.setOwners && jx::chownAt(parentFd(), name, uid_, gid_) != 0)
        fail("set the owner of", errno);
    if (kind_ != Kind::Link && jx::chmodAt(parentFd(), name, mode_ & 07777) != 0)
        fail("set the mode of", errno);
    applyXattrs(-1, name);
    if (jx::setTimesAt(parentFd(), name, atime_, mtime_, atimeNsec_, mtimeNsec_) != 0)
        fail("set the times of", errno);
}

// The temporary takes the entry's name. A rename cannot replace a folder by
// a file: only when it refuses is the folder in the way removed (a look
// first would cost a stat per file for a case that is rare).
void FlrTailApplyEntry::replaceWithTemp() {
    if (jx::renameAt(parentFd(), temp_, leaf_) != 0) {
        const int err = errno;
        struct stat st {};
        if ((err != EISDIR && err != ENOTEMPTY && err != EEXIST) ||
            jx::statAt(parentFd(), leaf_, &st) != 0 || !S_ISDIR(st.st_mode))
            fail("rename into place", err);
        if (const int removeErr = FlrTailRoot::removeEntry(parentFd(), leaf_))
            fail("remove the folder in the place of", removeErr);
        if (jx::renameAt(parentFd(), temp_, leaf_) != 0) fail("rename into place", errno);
    }
    done_ = true;
}

void FlrTailApplyEntry::finish(FlrTailApplyStats& stats) {
    if (keep_) return;
    switch (kind_) {
        case Kind::File:
            checkOldUnchanged();
            // What was not sent up to the size is skipped old bytes, unless
            // the data went past the old copy's end: the size then extends
            // the file, as in any method.
            if (method_ == FlrNetMirHeader::kMD5 && frontier_ < oldSize_)
                fillFromOld(frontier_, size_, stats);
            // Held writes: size and attributes change the old copy too, so
            // they wait with them for applyHeld().
            if (!held_) completeFile();
            return;
        case Kind::Folder:
            return;  // its attributes after what goes into it (commit)
        case Kind::Link:
            if (linkTarget_.empty() || linkTarget_.find('\0') != std::string::npos)
                JX_THROW(kApplyEntryFn, "Invalid link target for " + rel_);
            temp_ = FlrTailRoot::temporaryName(leaf_);
            if (jx::symlinkAt(linkTarget_, parentFd(), temp_) != 0) {
                const int err = errno;
                temp_.clear();
                fail("make the link", err);
            }
            setAttributesAt(temp_);
            return;
        case Kind::Special:
            temp_ = FlrTailRoot::temporaryName(leaf_);
            if (jx::mknodAt(parentFd(), temp_, (mode_ & S_IFMT) | 0600, rdev_) != 0) {
                const int err = errno;
                temp_.clear();
                fail("make the special file", err);
            }
            setAttributesAt(temp_);
            return;
    }
}

// The file's size and attributes, after its last byte.
void FlrTailApplyEntry::completeFile() {
    // What an RSync delta did not reach is zeros, as in a new file.
    bool cut = false;
    if (inPlace_ && method_ == FlrNetMirHeader::kRSync && cursor_ < size_ && cursor_ < oldSize_) {
        wrote_ = cut = true;
        if (jx::fileOps().ftruncate(out_.get(), cursor_) != 0) fail("set the size of", errno);
    }
    if (inPlace_ && size_ < oldSize_) wrote_ = true;
    if (method_ == FlrNetMirHeader::kRSync && cursor_ < size_)
        changed_.add(cursor_, size_ - cursor_);
    // A file is its size already when written whole into a new temporary,
    // or updated in place within an old copy of that size.
    const bool sized = (method_ == FlrNetMirHeader::kFull && frontier_ == size_) ||
                       (inPlace_ && !cut && size_ == oldSize_ && frontier_ <= size_);
    if (!sized && jx::fileOps().ftruncate(out_.get(), size_) != 0) fail("set the size of", errno);
    setAttributes(out_.get());
    // The batch's sync comes later; the disk can start on a large file while
    // the next ones arrive (small ones are written best together, by that
    // sync). Only a hint: failures show there.
    if (options_.syncFiles && size_ >= kEarlyWritebackBytes) jx::startWriteback(out_.get());
    if (out_.close() != 0) fail("close", errno);
    old_.reset();
}

void FlrTailApplyEntry::commit(FlrTailApplyStats& stats) {
    if (keep_) {
        ++stats.kept;
        done_ = true;
        return;
    }
    if (kind_ == Kind::Folder) {
        jx::File dir = rel_.empty() ? root_.openDir("")
                                    : jx::openBeneath(parentFd(), leaf_, O_RDONLY | O_DIRECTORY);
        if (!dir) fail("open the folder", errno);
        // The root folder's owner, mode, ACL and extended attributes (a
        // security label) are the operator's unless heads are trusted with
        // privileged entries; its times follow.
        if (rel_.empty() && !flrpriv::headOwnsRoot(options_.privileged)) {
            if (jx::setTimesFd(dir.get(), atime_, mtime_, atimeNsec_, mtimeNsec_) != 0)
                fail("set the times of", errno);
        } else {
            setAttributes(dir.get());
        }
        done_ = true;
        ++stats.dirs;
        return;
    }
    replaceWithTemp();
    // The old copy an in-place update left for a new file is not needed now.
    if (!oldTemp_.empty()) jx::unlinkAt(parentFd(), oldTemp_, false);
    ++(kind_ == Kind::File ? stats.files : kind_ == Kind::Link ? stats.links : stats.specials);
    if (placed) placed();
}
