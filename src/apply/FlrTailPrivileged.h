#pragma once
// The tail's privileged-entry policy (FlrPrivileged, FlrTailJournal.h)
// applied to one mode, shared by transfers and journal records so that both
// paths into the replica give the same answer.
#include <sys/types.h>

#include "FlrTailJournal.h"

namespace flrpriv {

enum class Verdict {
    Apply,     // as sent
    Stripped,  // applied without setuid/setgid (cleared in *mode)
    Withheld,  // not applied at all
};

// mode: a whole st_mode, type and permission bits. A folder's setgid bit
// only passes its group on to new entries, so folders keep it.
Verdict screen(FlrPrivileged policy, mode_t* mode);

// The log lines of the two outcomes (path, policy name); the first of a
// session is a warning, the rest detail.
inline constexpr char kStrippedLine[] =
    "%s: applied without its setuid/setgid bits (privileged: %s)";
inline constexpr char kWithheldLine[] = "%s: not applied, a privileged entry (privileged: %s)";

// Whether a head may change the root folder's owner, mode and ACL.
inline bool headOwnsRoot(FlrPrivileged policy) {
    return policy == FlrPrivileged::Keep;
}

}  // namespace flrpriv
