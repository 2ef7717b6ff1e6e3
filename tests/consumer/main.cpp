// Builds against the installed facade alone: every public header is included
// (so none may need a private one), a file identifier round-trips, a remote
// destination parses, and the library's exception type crosses the library
// boundary intact.
#include <FLR/FlrEndpoint.h>
#include <FLR/FlrExport.h>
#include <FLR/FlrFid.h>
#include <FLR/FlrHeadJournal.h>
#include <FLR/FlrJrnConvert.h>
#include <FLR/FlrJrnFile.h>
#include <FLR/FlrNetJournal.h>
#include <FLR/FlrPairs.h>
#include <FLR/FlrRawJournal.h>
#include <FLR/FlrRemoteVerify.h>
#include <FLR/FlrReplicator.h>
#include <FLR/FlrSnapMgr.h>
#include <FLR/FlrSnapOS.h>
#include <FLR/FlrTailService.h>
#include <FLR/FlrTreeVerify.h>
#include <FLR/FlrWatcher.h>
#include <FLR/JxException.h>
#include <FLR/JxNamedMutex.h>
#include <FLR/JxSafeFlags.h>
#include <FLR/SP.h>

#include <cstdio>
#include <string>

int main() {
    const std::string text = "00112233445566778899aabbccddeeff0011223344556677";
    if (str2fid(text).toString() != text) {
        std::fprintf(stderr, "consumer: identifier did not round-trip\n");
        return 1;
    }
    std::string host, port, path;
    if (!FlrReplicator::parseRemote("tail.example:7070:/srv/replica", &host, &port, &path) ||
        host != "tail.example" || port != "7070" || path != "/srv/replica") {
        std::fprintf(stderr, "consumer: a remote destination did not parse\n");
        return 1;
    }
    try {
        str2fid("xyz");
    } catch (const JxException& e) {
        std::printf("consumer: libflr works (%s)\n", e.toString().c_str());
        return 0;
    }
    std::fprintf(stderr, "consumer: a bad identifier was accepted\n");
    return 1;
}
