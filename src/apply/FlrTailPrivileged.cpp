#include "FlrTailPrivileged.h"

#include <sys/stat.h>

#include "FlrTailApplier.h"
#include "platform/EvDebug.h"

namespace flrpriv {

Verdict screen(FlrPrivileged policy, mode_t* mode) {
    if (policy == FlrPrivileged::Keep) return Verdict::Apply;
    if (S_ISCHR(*mode) || S_ISBLK(*mode)) return Verdict::Withheld;
    constexpr mode_t kRaising = S_ISUID | S_ISGID;
    if (S_ISDIR(*mode) || (*mode & kRaising) == 0) return Verdict::Apply;
    if (policy == FlrPrivileged::Refuse) return Verdict::Withheld;
    *mode &= ~kRaising;
    return Verdict::Stripped;
}

}  // namespace flrpriv

const char* flrPrivilegedName(FlrPrivileged p) {
    switch (p) {
        case FlrPrivileged::Keep:
            return "keep";
        case FlrPrivileged::Strip:
            return "strip";
        case FlrPrivileged::Refuse:
            return "refuse";
    }
    return "strip";
}

bool flrParsePrivileged(const std::string& text, FlrPrivileged* p) {
    for (FlrPrivileged v : {FlrPrivileged::Keep, FlrPrivileged::Strip, FlrPrivileged::Refuse}) {
        if (text == flrPrivilegedName(v)) {
            *p = v;
            return true;
        }
    }
    return false;
}

// The session's log lines name the applier, as its other lines do.
namespace {
const char* const kApplierFn = "FlrTailApplier";
}  // namespace

// The tail's policy for setuid/setgid files and device nodes; false when the
// entry is withheld (its data messages then find no entry and are dropped).
bool FlrTailApplySession::screenPrivileged(const std::string& received, FlrNetMirHeader* h) {
    auto mode = static_cast<mode_t>(h->mode);
    // The first one of a session is a warning, the rest detail: a tree of
    // many such files would bury the log.
    const bool first = stats_.stripped + stats_.withheld == 0;
    const char* policy = flrPrivilegedName(applier_.options().privileged);
    switch (flrpriv::screen(applier_.options().privileged, &mode)) {
        case flrpriv::Verdict::Apply:
            return true;
        case flrpriv::Verdict::Stripped:
            first ? EvDebug::Warning(kApplierFn, flrpriv::kStrippedLine, received.c_str(), policy)
                  : EvDebug::DebugLvl(kApplierFn, 2, flrpriv::kStrippedLine, received.c_str(),
                                      policy);
            ++stats_.stripped;
            h->mode = (h->mode & ~uint64_t{07777}) | (mode & 07777);
            return true;
        case flrpriv::Verdict::Withheld:
            first ? EvDebug::Warning(kApplierFn, flrpriv::kWithheldLine, received.c_str(), policy)
                  : EvDebug::DebugLvl(kApplierFn, 2, flrpriv::kWithheldLine, received.c_str(),
                                      policy);
            ++stats_.withheld;
            return false;
    }
    return true;
}
