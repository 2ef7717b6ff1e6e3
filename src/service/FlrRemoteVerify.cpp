// The head's side of a remote verify.
#include "FLR/FlrRemoteVerify.h"

#include <fcntl.h>

#include <cerrno>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "apply/FlrTreeListing.h"
#include "net/FlrNetHead.h"
#include "platform/JxDirFd.h"

namespace {

const char* const kRemoteVerifyFn = "FlrRemoteVerify";

// The tail's records as a pull stream: one batch at a time, held in the
// link's receive slot until its records are taken.
class RemoteRecords {
  public:
    explicit RemoteRecords(FlrNetHead& head) : head_(head) {}

    bool next(FlrTreeRecord* r) {
        while (pos_ == len_) {
            if (ended_ || !receive()) return false;
        }
        FlrTreeRecordCodec::take(data_, len_, &pos_, r);
        ++records_;
        return true;
    }

  private:
    // The next batch; false at VERIFY_END.
    bool receive() {
        FlrNetMessage m;
        const int rc = head_.recvMessage(&m, head_.getNetTimeout());
        if (rc == -2) JX_THROW(kRemoteVerifyFn, "The tail did not answer in time");
        if (rc != 0) JX_THROW(kRemoteVerifyFn, "The tail closed the connection during the verify");
        if (m.type == FLR_NET_VERIFY_ENTRIES) {
            data_ = static_cast<const unsigned char*>(m.verifyEntries.data);
            len_ = static_cast<size_t>(m.verifyEntries.len);
            pos_ = 0;
            return true;
        }
        if (m.type != FLR_NET_VERIFY_END)
            JX_THROW(kRemoteVerifyFn, std::string("Unexpected ") + flrNetMsgName(m.type) +
                                          " from the tail during the verify");
        ended_ = true;
        // The tail's errno is the code: a dry run to a folder the tail has
        // not made yet tells ENOENT from a real refusal.
        if (m.verifyEnd.status != 0)
            JX_THROW_CODE(kRemoteVerifyFn,
                          std::string("The tail refused the verify: ") + m.verifyEnd.text,
                          static_cast<int>(m.verifyEnd.status));
        if (m.verifyEnd.entries != records_)
            JX_THROW(kRemoteVerifyFn, jxFormat("The tail listed %llu entries but sent %llu",
                                               (unsigned long long)m.verifyEnd.entries,
                                               (unsigned long long)records_));
        return false;
    }

    FlrNetHead& head_;
    const unsigned char* data_ = nullptr;
    size_t len_ = 0;
    size_t pos_ = 0;
    uint64_t records_ = 0;
    bool ended_ = false;
};

}  // namespace

FlrTreeVerifyResult flrVerifyRemote(const std::string& srcRoot, FlrNetHead& head,
                                    const std::string& path, FlrTreeVerifyOptions options) {
    jx::File src = jx::openDirectory(srcRoot);
    if (!src) JX_THROW_ERRNO(kRemoteVerifyFn, "Couldn't open the source folder " + srcRoot, errno);
    // An older tail would ignore the request and leave the head waiting.
    if (head.getPeerVersion() < kFlrVerifyLinkVersion)
        JX_THROW(kRemoteVerifyFn,
                 jxFormat("The tail speaks link version %u; a remote verify needs %u or later",
                          head.getPeerVersion(), kFlrVerifyLinkVersion));
    FlrNetMessage req(FLR_NET_VERIFY_REQ);
    req.verifyReq.blockSize = 0;
    req.verifyReq.path = path.c_str();
    head.sendMessage(req, head.getNetTimeout(), true);

    FlrTreeWalker local(std::move(src));
    RemoteRecords remote(head);
    FlrTreeVerifyResult r =
        FlrTreeRecordCompare(options).run([&](FlrTreeRecord* out) { return local.next(out); },
                                          [&](FlrTreeRecord* out) { return remote.next(out); });
    // The comparer stops reading the tail's stream only at its end; a
    // truncated or refused listing has thrown above.
    std::vector<std::string> lost;
    if (options.mtimes) lost.emplace_back("nanoseconds of modification times");
    if (options.xattrs) lost.emplace_back("extended attributes");
    if (options.acls) lost.emplace_back("ACLs");
    if (r.plainRecords > 0 && !lost.empty()) {
        std::string what;
        for (size_t i = 0; i < lost.size(); ++i)
            what += (i == 0 ? "" : i + 1 == lost.size() ? " and " : ", ") + lost[i];
        r.notes.push_back(jxFormat("the tail speaks link version %u: %s were not compared",
                                   head.getPeerVersion(), what.c_str()));
    }
    return r;
}
