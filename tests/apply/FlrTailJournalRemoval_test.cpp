// A folder removal the tail cannot make because the folder still holds
// entries the head's journal never removed (a folder moved, then removed
// with its contents on the source) is not dropped quietly: it counts as not
// applied, so the head's run is incomplete and a resync follows.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "TailApplyFixture.h"
#include "TailJournalFixture.h"
#include "apply/FlrTailJournal.h"
#include "apply/FlrTailRoot.h"

using namespace jrntest;

namespace {

TEST(TailJournalRemoval, ARemovalOfAFolderStillHoldingEntriesCountsAsNotApplied) {
    tailtest::Registry reg;
    flrtest::TempDir root;
    flrtest::TempDir state;
    FlrTailRoot r(root.path());
    FlrTailJournal::Options o;
    o.syncData = false;
    FlrTailJournal j(r, state.path() + "/state", o);
    Stream s;
    s.mkdir("d", 0755);
    s.mkdir("d/x", 0755);
    s.create("d/x/f", S_IFREG | 0644);
    s.write("d/x/f", 0, "a");
    s.mkdir("e", 0755);
    s.rename("d", "dr");
    s.rmdir("dr");  // its contents went with it on the source, unrecorded
    s.rmdir("e");   // an empty folder goes as before
    const std::string p = s.payload(0, s.recs.size());
    j.apply(p.data(), p.size(), 1);
    EXPECT_EQ(1, j.totals().failed);
    struct stat st {};
    EXPECT_NE(::lstat(root.file("e").c_str(), &st), 0);
}

}  // namespace
