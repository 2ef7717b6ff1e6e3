#pragma once
// Reads a table file with plain LMDB, as any LMDB tool would: to check what
// the engine really stored, not what it reports.
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace flrtest {

// The named databases of the file ("records", "meta" and one per index).
std::set<std::string> lmdbDatabases(const std::string& file);
// The entries (key, value) of one named database in key order; empty when
// the file or the database cannot be read.
std::vector<std::pair<std::string, std::string>> lmdbEntries(const std::string& file,
                                                             const std::string& database);
// The value stored under key in the named database, or "" when absent.
std::string lmdbValue(const std::string& file, const std::string& database, const std::string& key);

}  // namespace flrtest
