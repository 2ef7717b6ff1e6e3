#pragma once
// The tail's answer to a remote verify: its replica below the root listed
// as tree records (names, kinds, attributes, content digests; never content).
#include "net/FlrNetMessage.h"

class FlrNetTail;
class FlrTailRoot;

namespace FlrTailVerifyAnswer {

// Records sent per VERIFY_ENTRIES message, at most (one record may overrun it).
constexpr size_t kBatchBytes = 256u << 10;

// VERIFY_REQ: VERIFY_ENTRIES batches in canonical order, then VERIFY_END
// with the count, or with a status and the reason when the path is refused
// (outside the root, ".." in it) or is not a folder. Stops without an end
// when the head has gone.
void answer(const FlrTailRoot& root, const FlrNetPathReq& req, FlrNetTail& reply);

}  // namespace FlrTailVerifyAnswer
