#include "FlrTailPrivileged.h"

#include <sys/stat.h>

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
