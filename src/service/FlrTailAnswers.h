#pragma once
// The tail's answers to a head's checksum requests, computed over its copy
// of a file (a path confined to the root, opened without following links).
// A copy that is missing, not a regular file, refused or unreadable gets the
// empty answer (RECV_MD5_EOF at once, or no blocks), so the head sends the
// whole file. Weak sums travel as 4 big-endian bytes.
#include "FLR/FlrNetMessage.h"
#include "FLR/service/FlrTailApplier.h"

namespace FlrTailAnswers {

// START_MD5_STREAM: RECV_MD5 messages (value = index of their first block)
// with CRC-32 weak sums and MD5 digests, then RECV_MD5_EOF (value = the
// number of blocks).
void md5Stream(const FlrTailRoot& root, const FlrTailApplier::Options& options,
               const FlrNetPathReq& req, FlrNetTail& reply);
// GET_RSYNC_CSUMS_REQ: rolling weak sums and MD5 digests of every block
// (value = the copy's size in bytes).
void rsyncSums(const FlrTailRoot& root, const FlrTailApplier::Options& options,
               const FlrNetPathReq& req, FlrNetTail& reply);
// GET_FILE_CHECKSUMS_REQ: the MD5 digest of every block.
void fileSums(const FlrTailRoot& root, const FlrTailApplier::Options& options,
              const FlrNetPathReq& req, FlrNetTail& reply);

}  // namespace FlrTailAnswers
