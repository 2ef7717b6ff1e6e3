// A resend (the watch's path for large written files) reads only beneath the
// source: a folder swapped for a link to a root-only place sends nothing from
// there; the entry is left to the next pass (the journal records the swap) and
// the rest is sent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "FLR/FlrReplicator.h"
#include "FLR/JxException.h"
#include "service/FlrLocalTail.h"
#include "support/TestSupport.h"

namespace {

using flrtest::writeFile;

TEST(FlrReplicatorConfine, ResendThroughALinkedFolderSendsNothingFromThere) {
    for (const char* method : {"full", "lbfs"}) {
        SCOPED_TRACE(method);
        flrtest::ScopedRegistry registry;
        flrtest::TempDir dir;
        const std::string src = dir.file("src"), dst = dir.file("dst");
        const std::string secret = dir.file("private");
        ASSERT_EQ(0, ::mkdir(src.c_str(), 0755));
        ASSERT_EQ(0, ::mkdir(secret.c_str(), 0700));
        writeFile(secret + "/shadow", std::string(5000, 's'));
        ::chmod((secret + "/shadow").c_str(), 0600);
        writeFile(src + "/kept", std::string(5000, 'k'));
        ASSERT_EQ(0, ::symlink(secret.c_str(), (src + "/user").c_str()));
        FlrReplicateOptions o;
        o.source = src;
        o.target = dst;
        o.method = method;
        o.stateRoot = dir.file("state");
        EXPECT_NO_THROW(FlrReplicator(o).sendFiles({"kept", "user/shadow"}));
        struct stat st {};
        EXPECT_NE(0, ::lstat((dst + "/user/shadow").c_str(), &st));
        EXPECT_EQ(0, ::lstat((dst + "/kept").c_str(), &st));
    }
}

// A replica holding a link where the source has a folder refuses the
// folder's content (the tail never follows a link). Neither a run nor a
// resend may then count as complete, whether its tail is its own or one
// shared with other runs (the watch's), whose counts come in when sessions
// end; each fails with the code the watch tells from other failures.
TEST(FlrReplicatorConfine, EntriesTheReplicaRefusedFailTheRunWhateverItsTail) {
    struct Case {
        const char* name;
        bool sharedTail;
        std::function<void(FlrReplicator&)> send;
    };
    const Case cases[] = {
        {"run, own tail", false, [](FlrReplicator& r) { r.run(); }},
        {"run, shared tail", true, [](FlrReplicator& r) { r.run(); }},
        {"resend, own tail", false, [](FlrReplicator& r) { r.sendFiles({"x/f"}); }},
        {"resend, shared tail", true, [](FlrReplicator& r) { r.sendFiles({"x/f"}); }},
    };
    // The shared tail's count races the run's end: a few rounds each.
    for (int round = 0; round < 5; ++round) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", round " + std::to_string(round));
            flrtest::ScopedRegistry registry;
            flrtest::TempDir dir;
            const std::string src = dir.file("src"), dst = dir.file("dst");
            ASSERT_EQ(0, ::mkdir(src.c_str(), 0755));
            ASSERT_EQ(0, ::mkdir((src + "/x").c_str(), 0755));
            writeFile(src + "/x/f", "behind a link on the replica");
            ASSERT_EQ(0, ::mkdir(dst.c_str(), 0755));
            ASSERT_EQ(0, ::symlink("/nonexistent", (dst + "/x").c_str()));
            FlrReplicateOptions o;
            o.source = src;
            o.target = dst;
            o.method = "full";
            o.stateRoot = dir.file("state");
            std::unique_ptr<FlrLocalTail> tail;
            if (c.sharedTail) {
                tail = std::make_unique<FlrLocalTail>(dst, FlrTailApplier::Options{});
                o.localTail = tail.get();
            }
            FlrReplicator r(o);
            int code = 0;
            try {
                c.send(r);
            } catch (const JxException& e) {
                code = e.getCode();
            }
            EXPECT_EQ(FlrReplicator::kUnappliedEntries, code);
        }
    }
}

}  // namespace
