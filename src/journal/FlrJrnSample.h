#pragma once
// A deterministic generator of realistic raw journals, for the demo, tests
// and benchmarks. From a seed it simulates a directory tree and emits the
// records a journal driver would deliver for it, and keeps the identifier ->
// path table that turns those records into the network form.
//
// The full mix starts with one record of every command code (NOOP to TXTMSG,
// code 3 excepted) and goes on with a weighted random mix: 4 KiB and other
// write sizes, names up to 255 bytes. The bench mix holds only WRITE (fixed
// size), CREATE, RENAME, SETATTR and REMOVE.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FLR/FlrJrnConvert.h"
#include "FLR/FlrRawJournal.h"

class FlrJrnSample {
  public:
    enum class Mix { Full, Bench };

    struct Options {
        uint64_t seed = 1;
        Mix mix = Mix::Full;
        // Payload of WRITE in the bench mix and the common size in the full mix.
        uint32_t writeSize = 4096;
        // Path of the tree's top directory.
        std::string root = "/srv/flr/src";
        uint64_t firstSeqNum = 1;
    };

    explicit FlrJrnSample(Options options);
    FlrJrnSample(const FlrJrnSample&) = delete;
    FlrJrnSample& operator=(const FlrJrnSample&) = delete;

    // The next record. Its strings and payloads live in this generator until
    // the next call.
    const FlrJrnCommand& next();
    // Encodes the next record at the end of out; returns its size.
    size_t appendNext(std::vector<uint8_t>& out);
    // Appends count records.
    void generate(size_t count, std::vector<uint8_t>& out);

    // Every identifier the records name, with the path it had when it was
    // named. Identifiers are never reused: a renamed or removed file is not
    // named again, so one path per identifier serves the whole journal.
    const FlrFidPathMap& pathMap() const { return paths_; }

  private:
    struct Dir {
        fsf_fid fid;
        size_t parent = 0;  // index into dirs_
        std::string name;
        std::string path;
        int depth = 0;
        uint32_t entries = 0;    // names in it that the tree still holds
        bool keepEmpty = false;  // never filled, so RMDIR always finds a victim
        bool removed = false;
    };
    struct File {
        fsf_fid fid;
        size_t dir;  // index into dirs_
        std::string name;
        int32_t links;
    };

    uint64_t rand();
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rand() % n); }
    fsf_fid newFid();
    const std::string& newName(std::string& out);
    size_t pickDir(int maxDepth);
    size_t addDir(size_t parent, const std::string& name, const fsf_fid& fid);
    size_t addFile(size_t dir, const std::string& name, const fsf_fid& fid);
    void dropFile(size_t index);
    void seedTree();
    uint32_t pickCode();
    void fillHeader(uint32_t code);
    FlrJrnTime someTime();
    const void* payload(uint32_t size);

    void makeCreate();
    void makeMkdir();
    void makeRemove();
    void makeRmdir();
    void makeRename();
    void makeLink();
    void makeSymlink();
    void makeWrite(uint32_t code);
    void makeSetattr();
    void makeFileOp(uint32_t code);
    void makeXattr(uint32_t code);
    void makeOther(uint32_t code);

    Options opt_;
    uint64_t state_;
    uint64_t nextInode_ = 1000;
    uint64_t nextSeq_;
    uint64_t nameCounter_ = 0;
    uint64_t records_ = 0;
    int64_t clock_ = 1700000000;
    std::vector<Dir> dirs_;
    std::vector<File> files_;
    FlrFidPathMap paths_;
    FlrJrnCommand cmd_{};
    // Storage behind the current record's pointers.
    std::string name1_, name2_, text_;
    std::vector<uint8_t> blob_;
    std::string payload_;
};
