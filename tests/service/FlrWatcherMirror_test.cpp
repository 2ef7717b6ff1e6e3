// What a watch leaves for the next run: the journal changes the destination
// behind the last mirrored folder listings, so a run after a watch mirrors
// every folder again rather than trusting a listing that did not change.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "FLR/FlrReplicator.h"
#include "WatchFixture.h"
#include "support/TestSupport.h"

namespace {

bool present(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// An exchange the tail applied only in part leaves its spare name in a
// folder whose listing on the source never changed; the watch is then
// stopped (or killed) before the rescan that failure asks for.
TEST(FlrWatcherMirror, ARunAfterAWatchRemovesWhatTheJournalLeftBehind) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    ASSERT_EQ(0, ::mkdir(dir.file("src/d").c_str(), 0755));
    flrtest::writeFile(dir.file("src/d/a"), "a");
    flrtest::writeFile(dir.file("src/d/b"), "b");
    Watch w(dir);
    ASSERT_NO_FATAL_FAILURE(w.start());
    ASSERT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    const std::string spare = dir.file("dst/d/.flr-exchange.7");
    flrtest::writeFile(spare, "a");
    w.stop();
    ASSERT_TRUE(w.returned) << w.error;

    const FlrReplicateSummary s = FlrReplicator(w.options.replicate).run();
    EXPECT_EQ("smart-sync", s.scan);
    EXPECT_EQ(1, s.removed);
    EXPECT_FALSE(present(spare));
    EXPECT_TRUE(w.converged()) << treeDiffs(w.src(), w.dst());

    // Without a watch between them, a run whose listings match the last
    // mirrored ones still leaves the mirror out.
    flrtest::writeFile(spare, "a");
    EXPECT_EQ(0, FlrReplicator(w.options.replicate).run().removed);
    EXPECT_TRUE(present(spare));
}

}  // namespace
