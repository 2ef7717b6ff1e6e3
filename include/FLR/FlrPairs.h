#pragma once
// Declared pairs: named replication pairs kept in the registry, one section
// "Pairs/NAME" each, so a run, a watch and its service unit name a pair
// instead of repeating its command line. A section holds the keys
//   source, destination, method, streams, compress, encrypt, exclude,
//   include, no-delete, bwlimit, watch
// (exclude and include may repeat). Every write is validated first and
// replaces the section in one atomic write of the registry; an unknown key
// or a bad value in a hand-edited section is refused when it is read.
#include <string>
#include <vector>

#include "FLR/FlrExport.h"
#include "FLR/FlrReplicator.h"

struct FLR_EXPORT FlrDeclaredPair {
    std::string name;
    // source, target, method, streams, compress, encrypt, excludes,
    // includes, noDelete and bwlimit; the rest stays at its default.
    FlrReplicateOptions options;
    bool watch = false;  // meant to run under its flr-watch@NAME unit
};

// A pair's state folder under a state root (named by a digest of its
// resolved source and destination): what `pair ls` shows and `pair rm`
// removes, including folders of runs that failed before any watch started.
struct FLR_EXPORT FlrPairState {
    std::string id;      // the folder's name
    std::string dir;     // its path
    std::string source;  // empty when the folder does not say
    std::string target;
    bool busy = false;  // a run or a watch holds its lock
};

namespace FlrPairs {

// Names of the declared pairs, sorted.
FLR_EXPORT std::vector<std::string> names();
// The pair NAME; false when none is declared. Throws JxException (function
// "FlrPairs") for a section that cannot be a pair, naming the key.
FLR_EXPORT bool find(const std::string& name, FlrDeclaredPair* out);
// Checks a pair and writes it: a name of letters, digits, ".", "_" and "-"
// (it becomes a unit's instance); paths resolved; a destination that looks
// like HOST:PORT without its path, or one overlapping its source, refused;
// patterns compiled. `replace` allows overwriting a pair of that name.
FLR_EXPORT void save(FlrDeclaredPair pair, bool replace);
// False when no such pair was declared.
FLR_EXPORT bool remove(const std::string& name);

// Every state folder under stateRoot (empty: the default root), sorted by id.
FLR_EXPORT std::vector<FlrPairState> states(const std::string& stateRoot);
// Removes a state folder while holding its lock, so no run starts meanwhile;
// throws JxException when a run or a watch holds it or a removal fails. The
// next run of that pair is a baseline.
FLR_EXPORT void removeState(const std::string& dir);
// The file in a state folder naming its pair: "source\ntarget\n".
FLR_EXPORT std::string pairFile(const std::string& stateDir);

// Throws JxException (function "FlrPairs", EINVAL) naming the first pattern
// that cannot be compiled and why, before a run would stumble on it.
FLR_EXPORT void checkPatterns(const std::vector<std::string>& patterns);

// One spelling per pair (so its state and lock are shared by every way of
// writing it) and no destination the copy would feed back into: resolves a
// local source and destination in place; throws JxException (function
// "FlrPairs") for an overlap or a tail's address without its path.
FLR_EXPORT void normalize(FlrReplicateOptions& options);

}  // namespace FlrPairs
