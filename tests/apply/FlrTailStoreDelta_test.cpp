// The content store's record of a file sent whole and of one rebuilt from
// its old copy (MD5, RSync): whatever the delta did, and whether or not the store's record of
// the old copy still describes it, the file's blocks are recorded exactly as
// a cut of the whole new file gives them (the tail cuts again only around
// the changes, reusing the old record elsewhere).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "TailDeltaFixture.h"
#include "TailLBFSFixture.h"
#include "apply/FlrTailStore.h"

using namespace tailtest;

namespace {

struct StoreDeltaTest : ::testing::Test {
    Registry registry;
    flrtest::TempDir tmp;
    std::string root = tmp.file("dst");
    void SetUp() override { ASSERT_EQ(::mkdir(root.c_str(), 0755), 0); }
    std::string at(const std::string& rel) const { return root + "/" + rel; }
};

// "" when the store holds exactly the content-defined blocks of content.
std::string recordMismatch(FlrTailStore& store, const std::string& rel,
                           const std::string& content) {
    const std::list<JxLBFS::HashBlock> expected = cutBlocks(content, 0);
    const std::vector<JxLBFS::HashBlock> stored = store.latestBlocksOf(rel);
    if (stored.size() != expected.size())
        return std::to_string(stored.size()) + " blocks stored, " +
               std::to_string(expected.size()) + " expected";
    size_t i = 0;
    for (const JxLBFS::HashBlock& e : expected) {
        const JxLBFS::HashBlock& s = stored[i];
        if (s.block.offset != e.block.offset || s.block.length != e.block.length ||
            std::memcmp(s.hash, e.hash, JxLBFS::HashBlock::kHashSize) != 0)
            return "block " + std::to_string(i) + " differs";
        ++i;
    }
    return "";
}

// How the old copy came to the tail: through it (the store recorded it), or
// changed behind its back afterwards (the record no longer describes it).
enum class OldCopy { Recorded, ChangedBehindTheStore };

// Large files are cut on the session's worker thread, in buffers handed over
// as they fill; small ones at once.
TEST_F(StoreDeltaTest, AFileSentWholeIsRecordedAsACutOfItsContent) {
    FlrTailApplier::Options o;
    o.storeDir = tmp.file("store");
    Tail tail(root, o);
    Head head(tail.port());
    const std::pair<const char*, size_t> files[] = {
        {"small", 100000}, {"large", (size_t{3} << 20) + 4321}, {"exact", size_t{1} << 20}};
    for (const auto& [name, size] : files) {
        const std::string content = pattern(size, static_cast<unsigned>(size));
        head.sendFile(at(name), content, 0644, 50000);
        head.sync();
        EXPECT_EQ(recordMismatch(*tail.applier->store(), name, content), "") << name;
    }
}

// Files that always travel whole are never looked up by their blocks: none
// are kept for them, and one replacing a larger copy takes its record away.
TEST_F(StoreDeltaTest, OnlyFilesThatMayTravelAsBlocksAreRecorded) {
    FlrTailApplier::Options o;
    o.storeDir = tmp.file("store");
    Tail tail(root, o);
    Head head(tail.port());
    const size_t whole = static_cast<size_t>(JxLBFS::kWholeFileMax);
    const struct {
        const char* name;
        size_t size;
        bool recorded;
    } sends[] = {
        {"x", 100000, true},       {"x", whole, false}, {"tiny", 64, false},
        {"edge", whole + 1, true}, {"empty", 0, false},
    };
    for (const auto& f : sends) {
        SCOPED_TRACE(std::string(f.name) + " of " + std::to_string(f.size));
        const std::string content = pattern(f.size, static_cast<unsigned>(f.size) + 1);
        head.sendFile(at(f.name), content);
        head.sync();
        FlrTailStore& store = *tail.applier->store();
        if (f.recorded)
            EXPECT_EQ(recordMismatch(store, f.name, content), "");
        else
            EXPECT_TRUE(store.latestBlocksOf(f.name).empty());
    }
}

TEST_F(StoreDeltaTest, ARebuiltFileIsRecordedAsACutOfItsNewContent) {
    for (const DeltaMode& mode : kDeltaModes) {
        FlrTailApplier::Options o = deltaOptions(mode);
        o.storeDir = tmp.file(std::string("store-") + mode.name);
        Tail tail(root, o);
        Head head(tail.port());
        FlrTailStore& store = *tail.applier->store();
        for (int method : {FlrNetMirHeader::kMD5, FlrNetMirHeader::kRSync}) {
            for (OldCopy old : {OldCopy::Recorded, OldCopy::ChangedBehindTheStore}) {
                // The fallback does not depend on how the delta is applied.
                if (old == OldCopy::ChangedBehindTheStore && &mode != &kDeltaModes[0]) continue;
                for (const DeltaCase& c : deltaCases(16)) {
                    const std::string rel = c.name;
                    std::optional<std::string> tailCopy = c.old;
                    if (c.old) {
                        head.sendFile(at(rel), *c.old);
                        head.sync();
                        EXPECT_EQ(recordMismatch(store, rel, *c.old), "") << "sent whole";
                        if (old == OldCopy::ChangedBehindTheStore) {
                            tailCopy = *c.old + pattern(5000, 9);
                            flrtest::writeFile(at(rel), *tailCopy);
                        }
                    } else {
                        ::unlink(at(rel).c_str());
                    }
                    if (method == FlrNetMirHeader::kMD5)
                        sendMD5Delta(head, at(rel), c.now);
                    else
                        sendRSyncDelta(head, at(rel), c.now, tailCopy);
                    head.sync();
                    const std::string where = std::string(mode.name) + ", method " +
                                              std::to_string(method) + ", " + c.name +
                                              (old == OldCopy::Recorded ? "" : ", changed");
                    ASSERT_EQ(flrtest::readFile(at(rel)), c.now) << where;
                    EXPECT_EQ(recordMismatch(store, rel, c.now), "") << where;
                }
            }
        }
    }
}

}  // namespace
