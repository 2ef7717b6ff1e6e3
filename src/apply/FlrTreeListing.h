#pragma once
// A tree described entry by entry, for comparing two trees that are not on
// the same host: a walker turns a folder into a stream of records (name,
// kind, attributes, the SHA-256 of a file's content, a link's target), a
// codec packs records into bounded batches for the link, and a comparer
// merges two streams into the differences `flr verify` reports.
//
// Streams are in one canonical order: depth first, each folder before what
// it holds, the names of a folder in byte order. Both sides produce that
// order, so the comparer needs only the current record of each.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FLR/FlrTreeVerify.h"
#include "platform/JxFile.h"
#include "platform/JxXattr.h"

// The extended attributes of one namespace group of an entry, as a digest:
// a SHA-256 over each attribute's name and value (each length-prefixed), in
// name order; the set is bounded as jx::readXattrs* bounds it. The same for
// an entry's ACLs: the SHA-256 of their network form (sorted, so canonical).
struct FlrTreeXattrSum {
    enum State : uint8_t {
        kNotHere = 0,     // the group does not apply (user.* on a link, or not root)
        kSum = 1,         // sum holds the digest
        kUnreadable = 2,  // could not be read (too large, or an error)
    };
    uint8_t state = kNotHere;
    unsigned char sum[32] = {};
};

struct FlrTreeRecord {
    std::string rel;    // relative to the walked folder, "" for the folder itself
    uint32_t mode = 0;  // type and permission bits as lstat gives them
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t size = 0;
    int64_t mtime = 0;  // seconds
    // Below: only in the extended form (walkers always fill them; a record
    // from a tail before link version 11 has extended == false).
    bool extended = false;
    uint32_t mtimeNsec = 0;
    FlrTreeXattrSum userXattrs;  // user.*
    FlrTreeXattrSum privXattrs;  // trusted.* and security.*, when listed as root
    FlrTreeXattrSum acl;         // the ACL form (JxACL), not on links; empty: the mode's
    uint64_t rdev = 0;
    std::string target;  // a symbolic link's target
    bool hasDigest = false;
    unsigned char digest[32] = {};  // SHA-256 of a regular file's content
    std::string error;              // why the entry could not be examined, else ""
};

// Walks a folder without following symbolic links. The folder is given by
// descriptor, so a confined caller opens it beneath its root first.
class FlrTreeWalker {
  public:
    // skip(rel) leaves out an entry (and all it holds) by its relative path;
    // stopped() is asked between the chunks of a file's content, so a huge
    // file cannot hold up a caller that has to end (the walk then ends too).
    explicit FlrTreeWalker(jx::File top, std::function<bool(const std::string&)> skip = {},
                           std::function<bool()> stopped = {});
    ~FlrTreeWalker();
    FlrTreeWalker(const FlrTreeWalker&) = delete;
    FlrTreeWalker& operator=(const FlrTreeWalker&) = delete;

    // The next record in canonical order; false at the end.
    bool next(FlrTreeRecord* out);

  private:
    struct Level;
    void describe(int dirFd, const std::string& name, const std::string& rel, FlrTreeRecord* r);
    void digestFile(int dirFd, const std::string& name, FlrTreeRecord* r);
    void sumXattrs(int dirFd, const std::string& name, FlrTreeRecord* r);
    static void sumAcl(int fd, FlrTreeRecord* r);
    void enter(jx::File dir, const std::string& rel, FlrTreeRecord* r);

    std::vector<std::unique_ptr<Level>> stack_;
    std::function<bool(const std::string&)> skip_;
    std::function<bool()> stopped_;
    jx::File top_;
    bool started_ = false;
    std::vector<char> buf_;
    std::vector<jx::Xattr> xattrs_;
};

// Records packed for the link: a batch is a run of records, each one
// length-prefixed; decoding checks every field against the batch's length.
namespace FlrTreeRecordCodec {
// The link version from which records travel in the extended form.
constexpr uint32_t kExtendedVersion = 11;
// Appends r to out; in the extended form (nanoseconds, attribute digests)
// only when extended is set, which only a head of kExtendedVersion on reads.
void append(const FlrTreeRecord& r, std::vector<unsigned char>* out, bool extended = true);
// Decodes the record at *pos of data[0..len) and advances *pos; throws
// JxException for a record that does not fit or carries impossible lengths.
void take(const unsigned char* data, size_t len, size_t* pos, FlrTreeRecord* r);
}  // namespace FlrTreeRecordCodec

// Merges a source stream with a destination stream. Only the first
// difference of a subtree present on one side only is reported, as the
// local comparison does.
class FlrTreeRecordCompare {
  public:
    using Source = std::function<bool(FlrTreeRecord*)>;  // false at the end
    explicit FlrTreeRecordCompare(FlrTreeVerifyOptions options) : options_(options) {}

    FlrTreeVerifyResult run(const Source& src, const Source& dst);

    // Canonical order of two relative paths (component by component).
    static int order(const std::string& a, const std::string& b);

  private:
    void compare(const FlrTreeRecord& a, const FlrTreeRecord& b);
    void differ(const std::string& rel, std::string what);

    void compareXattrs(const std::string& rel, const char* what, const FlrTreeXattrSum& a,
                       const FlrTreeXattrSum& b);
    void compareAcl(const std::string& rel, const FlrTreeXattrSum& a, const FlrTreeXattrSum& b);

    FlrTreeVerifyOptions options_;
    FlrTreeVerifyResult result_;
};
