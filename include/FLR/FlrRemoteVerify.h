#pragma once
// `flr verify SRC HOST:PORT:/path`: the tail lists its replica below its
// root as tree records (digests of content, never content) and the head
// merges them with its own walk of SRC. The differences read as the local
// comparison's, except that differing content is not located to the byte.
#include <string>

#include "FLR/FlrExport.h"
#include "FLR/FlrTreeVerify.h"

class FlrNetHead;

// Link versions from this one on answer VERIFY_REQ.
constexpr uint32_t kFlrVerifyLinkVersion = 8;

// Compares the folder srcRoot with the tail's folder `path` over a
// connected head. Throws JxException from "FlrRemoteVerify" when the link
// fails, the tail is too old, refuses the path or breaks the protocol;
// srcRoot that cannot be opened throws too (before anything is asked).
FLR_EXPORT FlrTreeVerifyResult flrVerifyRemote(const std::string& srcRoot, FlrNetHead& head,
                                               const std::string& path,
                                               FlrTreeVerifyOptions options);
