#pragma once
// Parts of the head journal service that stand on their own: the mapping of
// name-database paths to the pair's folders, which record changes which
// path, and how a record changes the name database.
#include <cstdint>
#include <string>
#include <string_view>

#include "FLR/FlrJrnConvert.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/FlrRawJournal.h"
#include "FlrDatabase.h"

// Resolves file ids to destination paths through the pair's name database.
// The database's paths start at its root, which stands for dbRoot; only
// paths at or below the pair's source folder resolve (others give nullptr:
// outside the pair).
class FlrJournalPaths : public FlrFidResolver {
  public:
    FlrJournalPaths(FlrDatabase& db, std::string source, std::string dbRoot,
                    std::string destination);

    const char* pathOf(const fsf_fid& fid) const override;

    // True when path is folder or lies below it (whole components).
    static bool within(std::string_view path, std::string_view folder);
    // Source path <-> destination path; false for a path outside the pair.
    bool toDestination(std::string_view sourcePath, std::string& out) const;
    bool toSource(std::string_view destPath, std::string& out) const;
    const std::string& source() const { return source_; }

  private:
    FlrDatabase& db_;
    std::string source_;
    std::string dbRoot_;
    std::string destination_;
    // The converter keeps up to two resolved paths of one record alive.
    mutable std::string slots_[4];
    mutable unsigned next_ = 0;
};

// The path a network record changes (the target of a rename or a link);
// nullptr for records that name no path (NOOP, SNAP).
const char* flrJournalChangedPath(const FlrJrnCommandNet& net);

// What a raw record did to the name database.
enum class FlrNameDbChange { None, Added, Removed, Renamed, Replaced };

// Brings the database in line with one raw record. Safe to apply again (a
// record taken a second time after a crash): an entry already there is kept,
// a missing one is not an error. Throws what the database throws.
FlrNameDbChange flrApplyToNameDb(FlrDatabase& db, const FlrJrnCommand& cmd);
