#pragma once
// The state of one path walk (baseline, SDR, DDR).
#include <sys/stat.h>

#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "FLR/FlrFid.h"
#include "FlrIfind.h"
#include "db/FlrDatabase.h"
#include "platform/JxDirReader.h"

struct FlrIfind::Walk {
    struct Level {
        jx::DirReader reader;
        std::string block;  // the directory's dirchange block, written at its end
        // Reconciling: the folder's listing, the names of its folders that
        // were moved or made (listed and sent with everything below them),
        // and of its other entries new to the database here (sent).
        std::list<FlrDatabase::Child> listing;
        std::unordered_set<std::string> newFolders, newFiles;
    };

    FlrIfind* self = nullptr;
    Output* collect = nullptr;
    Output* dirchange = nullptr;  // null: none written
    const FlrFilterConf* filter = nullptr;
    const FlrFilter* excludes = nullptr;  // FlrIfind::excludes
    FlrDatabase* db = nullptr;            // with driver: entries are added to it
    FlrDriver* driver = nullptr;
    // With db: only folders changed since the threshold, or new to the
    // database, are listed into it (FlrIfind::namesKnownAtTimestamp).
    bool reconcile = false;
    int64_t foldersReconciled = 0;
    std::vector<fsf_fid> detached;  // folders a listing cut from their parent
    // Rebuilding: names waiting to be written, many per transaction (a
    // transaction each costs more than the walk itself).
    struct Name {
        fsf_fid dir, fid;
        std::string name;
        FLR_FTYPE type;
    };
    std::vector<Name> names;
    static constexpr size_t kNamesPerTransaction = 4096;
    void writeNames();
    bool attrs = false;        // "With Attributes"
    bool convert = false;      // names need mbeToUtf
    long sinceNanos = 0;       // the threshold's fraction of a second
    bool changedOnly = false;  // FlrIfind::changedEntriesOnly
    std::string walkPath;      // directory being walked, local encoding
    std::string reportPath;    // the path reported for it
    std::string nameUtf;       // scratch
    std::vector<std::unique_ptr<Level>> levels;

    void recurse(int dirFd, long timestamp, const struct stat* parentStat,
                 const struct stat& dirStat, const fsf_fid& dirFid, int depth);

  private:
    Level& level(int depth);
    bool reportName(const char* name, std::string_view& out);
    enum class Next { Entry, End, Gone };  // Gone: the folder was removed while read
    Next nextEntry(Level& lv, const char** name, std::string_view* shown);
    void descend(int dirFd, const char* name, long timestamp, const struct stat& dirStat,
                 const struct stat& childStat, const fsf_fid& childFid, int depth);
    void addToDirContents(std::string& block, const struct stat& st, std::string_view name);
    void folderGone();
    bool fidOfEntry(int dirFd, const char* name, fsf_fid* fid);
    bool reconcileFolder(int dirFd, const fsf_fid& dirFid, Level& lv);
};
