#pragma once
// Applies one network journal record beneath the destination root, by path,
// never through a symbolic link, in a form that may be applied again (see
// FlrTailJournal.h for the rules each record type follows).
#include <string>

#include "FLR/FlrNetJournal.h"
#include "FlrTailJournal.h"
#include "FlrTailOpenFiles.h"
#include "FlrTailRoot.h"
#include "platform/JxFile.h"

class FlrTailJournalOps {
  public:
    using Outcome = FlrTailJournal::Outcome;

    FlrTailJournalOps(const FlrTailRoot& root, const FlrTailJournal::Options& options)
        : root_(root), options_(options) {}

    // Never throws: failures are logged and give Failed. *replaced is set
    // when the record made a name refer to another entry than before (a hard
    // link, a rename over an existing target): records before it that name
    // that path must never be replayed after it.
    Outcome apply(const FlrJrnCommandNet& rec, bool* replaced);
    // Closes every file and folder kept open across records.
    void closeAll();
    // Adds the entries stripped or withheld by the privileged-entry policy
    // since the last call.
    void takePrivileged(long long* stripped, long long* withheld);

  private:
    // A received path resolved to its folder (opened beneath the root, held
    // by dirs_) and last component; for the root itself the folder is the
    // root and leaf is empty.
    struct Place {
        std::string rel;
        int dir = -1;
        std::string leaf;
        bool exists = false;
        struct stat st {};
    };
    // False with *out set when the path is refused, or its folder is gone
    // (Settled) or cannot be opened (Failed). Without andLook, exists and st
    // are left unset.
    bool locate(const char* received, Place* p, Outcome* out, bool andLook = true);
    bool locateNamed(const char* received, Place* p, Outcome* out, bool andLook = true);
    // The steps of locate: the path made relative and split, its folder
    // opened (or found held), the entry looked at.
    bool resolve(const char* received, Place* p, Outcome* out) const;
    bool enter(const char* received, Place* p, Outcome* out);
    bool look(Place* p, Outcome* out) const;
    // The folder rel as a descriptor held by dirs_, or -1 with errno set.
    int folderFd(std::string_view rel);
    // A descriptor of p's regular file for writing, held by files_; -1
    // with *out set when it is gone, another kind or cannot be opened. p is
    // resolved; it is entered and looked at only when no file is held.
    int dataFd(Place* p, Outcome* out);
    // A name moved or removed: nothing held stands for it or below it.
    void forgetAt(const std::string& rel);

    Outcome create(const FlrJrnNetCreate& c, bool folder);
    Outcome recreate(const Place& p, const FlrJrnNetCreate& c, mode_t type);
    Outcome symlink(const FlrJrnNetSymlink& s);
    Outcome link(const FlrJrnNetLink& l);
    Outcome rename(const FlrJrnNetLink& r, bool* replaced);
    Outcome remove(const char* path, bool folder);
    Outcome setattr(const FlrJrnNetSetattr& a);
    Outcome write(const FlrJrnNetWrite& w);
    Outcome fclear(const FlrJrnNetFclear& f);
    Outcome setAcl(const FlrJrnNetSetAcl& a);
    Outcome setXattr(const FlrJrnNetSetxattr& x);
    Outcome removeXattr(const FlrJrnNetRmxattr& x);

    // Opens a regular file or folder for writing attributes or data;
    // Settled/Refused/Failed in *out when it is not one.
    jx::File openData(const Place& p, int flags, Outcome* out) const;
    // By descriptor when fd >= 0, else by name; 0 or an errno value.
    int setOwnerModeTimes(const Place& p, int fd, uint64_t uid, uint64_t gid, uint32_t mode,
                          const FlrJrnTime& atime, const FlrJrnTime& mtime) const;
    static bool xattrSettableHere(const char* name);
    // The policy on a mode of this type: false when withheld, else *mode as
    // it may be applied. Counted either way.
    bool screenMode(mode_t type, const std::string& rel, uint32_t* mode);
    Outcome failed(const std::string& what, const std::string& rel, int err) const;
    Outcome refused(const std::string& received, const std::string& why) const;
    Outcome folderNotEmpty(const std::string& rel) const;

    const FlrTailRoot& root_;
    const FlrTailJournal::Options& options_;
    // Kept across records; see FlrTailOpenFiles.h. Folders are held for the
    // walk to a file's name, files for data records.
    FlrTailOpenFiles dirs_{32};
    FlrTailOpenFiles files_{64};
    std::string folder_;      // reused: no allocation per record for the lookup
    Place scratch_;           // the same for the most frequent record, WRITE
    long long stripped_ = 0;  // see takePrivileged()
    long long withheld_ = 0;
};
