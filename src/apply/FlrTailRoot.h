#pragma once
// The destination root of a tail: every path a head names is turned into a
// path relative to the root and resolved beneath it without following a
// symbolic link, so nothing a head sends (a path, a link it created earlier,
// a dirchange entry) reaches outside the root.
//
// Received paths are either absolute, and then must lie under the root (its
// path as given or its canonical path), or relative to the root; a ".."
// component is refused anywhere, and so is anything in the tail's recovery
// points' folder (".flrsnap" at the top of the root): a head that made a link
// there would have the snapshot manager delete whatever it points at.
#include <memory>
#include <string>
#include <string_view>

#include "platform/JxFile.h"

class FlrTailRoot {
  public:
    // Opens dir (which must exist). Throws JxException.
    explicit FlrTailRoot(const std::string& dir);

    const std::string& path() const { return path_; }
    int fd() const { return root_.get(); }

    // The received path made relative to the root ("" is the root itself),
    // or false with the reason it is refused.
    bool relative(std::string_view received, std::string* rel, std::string* why) const;
    // True when rel is the recovery points' folder or lies in it.
    static bool inSnapshotFolder(std::string_view rel);

    // Opens the folder that holds rel's last component and names that
    // component in *leaf (rel must not be ""). With create, missing folders
    // on the way are made and a non-folder in the way is replaced; a
    // symbolic link on the way always fails (ELOOP). Invalid with errno set
    // on failure.
    jx::File openParent(const std::string& rel, bool create, std::string* leaf) const;
    // Opens the folder rel (never through a symbolic link).
    jx::File openDir(const std::string& rel) const;

    // Temporary names: ".<name>.flrtmp.<16 hex digits>" in the target's folder.
    static std::string temporaryName(const std::string& name);
    static bool isTemporaryName(const std::string& name);
    // Removes the temporaries a killed tail left anywhere under the root;
    // the number removed.
    long sweepTemporaries() const;

    // Removes name from the folder dirFd, a whole tree when it is a folder
    // (links inside are removed, never followed); 0 or an errno value. A file
    // system mounted anywhere in that tree is never entered (like rsync -x):
    // EXDEV, with what lies outside it removed.
    static int removeEntry(int dirFd, const std::string& name);

  private:
    bool stripRoot(std::string_view received, std::string_view* rest) const;

    std::string path_;
    std::string canonical_;
    jx::File root_;
};

// The open folder of the entry just begun, shared with the next entries of
// the same folder: a tree of small files then costs one folder lookup per
// folder and batch instead of one per file. The session clears it at each
// batch's commit and on every message that is not part of a plain entry, so
// it never outlives the entries that hold the same descriptor anyway.
class FlrTailFolderCache {
  public:
    // As FlrTailRoot::openParent with create; null with errno set on failure.
    std::shared_ptr<const jx::File> openParent(const FlrTailRoot& root, const std::string& rel,
                                               std::string* leaf);
    void clear() {
        folder_.clear();
        fd_.reset();
    }

  private:
    std::string folder_;
    std::shared_ptr<const jx::File> fd_;
};
