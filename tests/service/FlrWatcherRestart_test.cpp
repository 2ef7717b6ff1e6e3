// A watch started again after a clean stop lists into its name database only
// the folders changed while it was stopped; the journal that follows must
// still know every name, and any other run in between makes it list all.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "FLR/FlrReplicator.h"
#include "FLR/FlrTreeVerify.h"
#include "FLR/FlrWatcher.h"
#include "FLR/JxException.h"
#include "WatchFixture.h"
#include "journal/FlrLiveJournal.h"
#include "platform/FlrDriver.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxSeqCounter.h"
#include "support/TestSupport.h"

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Starts the watch over dir/src (keep/, old/, quiet/deep/), lets it reach a
// consistent point and stops it cleanly.
void watchAndStopCleanly(flrtest::TempDir& dir, Watch& w) {
    const std::string s = dir.file("src");
    for (const char* d : {"/keep", "/old", "/quiet", "/quiet/deep"})
        ASSERT_EQ(0, ::mkdir((s + d).c_str(), 0755));
    for (int i = 0; i < 5; ++i) flrtest::writeFile(s + "/keep/f" + std::to_string(i), "v1");
    flrtest::writeFile(s + "/old/f", "v1");
    flrtest::writeFile(s + "/quiet/deep/f", "v1");
    // Older than the first run by more than the kernel's coarse clock.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_NO_FATAL_FAILURE(w.start());
    ASSERT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    ASSERT_TRUE(eventually([&] { return w.watcher->state().consistentAt > 0; }));
    w.stop();
    ASSERT_TRUE(w.returned) << w.error;
}

// Changes the journal can convert only when the database learnt the names
// made while no watch ran: a resync would hide a database that did not.
void expectTheJournalKnowsTheNewNames(Watch& w, const std::string& made) {
    const std::string s = w.src();
    ASSERT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    const uint64_t resyncsBefore = w.watcher->state().resyncs;
    ASSERT_EQ(0, std::rename((s + "/" + made).c_str(), (s + "/kept/moved").c_str()));
    flrtest::writeFile(s + "/kept/moved/g", "written after the restart");
    ASSERT_EQ(0, ::unlink((s + "/kept/f0").c_str()));
    EXPECT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    EXPECT_EQ(resyncsBefore, w.watcher->state().resyncs) << w.watcher->state().lastResyncReason;
}

TEST(FlrWatcherRestart, ACleanStopLetsTheNextStartListOnlyWhatChanged) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    Watch w(dir);
    ASSERT_NO_FATAL_FAILURE(watchAndStopCleanly(dir, w));
    const std::string mark = w.watcher->stateDir() + "/names-known";
    EXPECT_TRUE(exists(mark)) << "a clean stop leaves the names mark";

    const std::string s = w.src();
    ASSERT_EQ(0, ::mkdir((s + "/made").c_str(), 0755));
    flrtest::writeFile(s + "/made/f", "made while stopped");
    ASSERT_EQ(0, std::rename((s + "/keep").c_str(), (s + "/kept").c_str()));
    ASSERT_EQ(0, ::unlink((s + "/old/f").c_str()));
    ASSERT_EQ(0, ::rmdir((s + "/old").c_str()));

    ASSERT_NO_FATAL_FAILURE(w.start());
    EXPECT_FALSE(exists(mark)) << "the mark outlived the start that used it";
    expectTheJournalKnowsTheNewNames(w, "made");
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
}

// A one-shot run moves the run record past changes it does not write into
// the watch's database: the next watch must not take the mark for it.
TEST(FlrWatcherRestart, ARunBetweenWatchesMakesTheNextStartListEverything) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    Watch w(dir);
    ASSERT_NO_FATAL_FAILURE(watchAndStopCleanly(dir, w));
    const std::string s = w.src();
    ASSERT_EQ(0, ::mkdir((s + "/between").c_str(), 0755));
    flrtest::writeFile(s + "/between/f", "made before the one-shot run");
    ASSERT_EQ(0, std::rename((s + "/keep").c_str(), (s + "/kept").c_str()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    FlrReplicator(w.options.replicate).run();

    ASSERT_NO_FATAL_FAILURE(w.start());
    expectTheJournalKnowsTheNewNames(w, "between");
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
}

}  // namespace
