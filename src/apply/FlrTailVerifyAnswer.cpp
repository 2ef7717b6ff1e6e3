// Tree listings for remote verifies, confined to the tail's root.
#include "FlrTailVerifyAnswer.h"

#include <fcntl.h>

#include <cerrno>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "FlrTailRoot.h"
#include "FlrTreeListing.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"

namespace {

const char* const kVerifyAnswerFn = "FlrTailVerifyAnswer";

void sendEnd(FlrNetTail& reply, uint64_t entries, int status, const std::string& text) {
    FlrNetMessage m(FLR_NET_VERIFY_END);
    m.verifyEnd.entries = entries;
    m.verifyEnd.status = status;
    m.verifyEnd.text = text.c_str();
    reply.sendMessage(m, reply.getNetTimeout(), false);
}

void sendBatch(FlrNetTail& reply, std::vector<unsigned char>& batch) {
    FlrNetMessage m(FLR_NET_VERIFY_ENTRIES);
    m.verifyEntries.data = batch.data();
    m.verifyEntries.len = static_cast<int>(batch.size());
    reply.sendMessage(m, reply.getNetTimeout(), false);
    batch.clear();
}

std::string leafOf(const std::string& rel) {
    const size_t slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

// The tail's own files are no part of any replica: its recovery points and
// the temporaries of entries being applied right now.
bool ownFile(const std::string& base, const std::string& rel) {
    const std::string fromRoot = base.empty() ? rel : base + "/" + rel;
    return FlrTailRoot::inSnapshotFolder(fromRoot) || FlrTailRoot::isTemporaryName(leafOf(rel));
}

}  // namespace

void FlrTailVerifyAnswer::answer(const FlrTailRoot& root, const FlrNetPathReq& req,
                                 FlrNetTail& reply) {
    const std::string path = req.path ? req.path : "";
    std::string rel, why;
    if (!root.relative(path, &rel, &why)) {
        EvDebug::Error(kVerifyAnswerFn, "Verify of %s refused: %s", path.c_str(), why.c_str());
        return sendEnd(reply, 0, EACCES, "refused " + path + ": " + why);
    }
    if (req.blockSize != 0) return sendEnd(reply, 0, EINVAL, "unknown verify options");
    jx::File dir = root.openDir(rel);
    if (!dir) {
        const int err = errno;
        return sendEnd(reply, 0, err, "cannot open " + path + ": " + jxErrnoText(err));
    }

    // A head that hung up or a tail that stops ends the listing, also inside
    // a large file.
    auto gone = [&reply] { return reply.isAborted() || reply.recvEnded(); };
    FlrTreeWalker walker(
        std::move(dir), [&](const std::string& r) { return ownFile(rel, r); }, gone);
    std::vector<unsigned char> batch;
    batch.reserve(kBatchBytes + 4096);
    FlrTreeRecord record;
    uint64_t entries = 0;
    // A head before the extended form would refuse its flag.
    const bool extended = reply.getPeerVersion() >= FlrTreeRecordCodec::kExtendedVersion;
    while (walker.next(&record)) {
        if (gone()) return;
        FlrTreeRecordCodec::append(record, &batch, extended);
        ++entries;
        if (batch.size() >= kBatchBytes) sendBatch(reply, batch);
    }
    if (gone()) return;
    if (!batch.empty()) sendBatch(reply, batch);
    sendEnd(reply, entries, 0, "");
}
