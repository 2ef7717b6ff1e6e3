// The pair's state folder under a state root other users share: private to
// the user running flr, its files unreadable by others, and a folder another
// user prepared (with links for root to follow) refused before anything in it
// is opened.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

// The one pair folder under root.
std::string pairFolder(const std::string& root) {
    std::string found;
    if (DIR* d = ::opendir(root.c_str())) {
        while (struct dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') found = root + "/" + e->d_name;
        ::closedir(d);
    }
    return found;
}

int permissionsOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

TEST(StateFolder, PrivateToItsUserAndRefusedWhenAnotherUserPreparedIt) {
    FLR_REQUIRE_TOOL();
    flrtest::TempDir dir;
    const std::string src = dir.file("src"), dst = dir.file("dst"), shared = dir.file("shared");
    ASSERT_EQ(0, ::mkdir(src.c_str(), 0700));
    ASSERT_EQ(0, ::mkdir(shared.c_str(), 01777));
    flrtest::writeFile(src + "/secret-name", "x");
    const std::vector<std::string> run = {"replicate", "-q", src, dst, "--state-dir", shared};
    ASSERT_EQ(0, flrtest::runTool(run).status);
    const std::string pair = pairFolder(shared);
    ASSERT_FALSE(pair.empty());
    EXPECT_EQ(0700, permissionsOf(pair));
    for (const char* name : {"DirChangeApplied.txt", "run-id", "last-run"})
        EXPECT_EQ(0600, permissionsOf(pair + "/" + name)) << name;

    // A folder of this user's that an older version left open is narrowed.
    ASSERT_EQ(0, ::chmod(pair.c_str(), 0755));
    ASSERT_EQ(0, flrtest::runTool(run).status);
    EXPECT_EQ(0700, permissionsOf(pair));

    if (::geteuid() != 0) GTEST_SKIP() << "another user's folder needs root to prepare";
    // Another user made the pair folder first and left links in it.
    const std::string victim = dir.file("root-owned");
    flrtest::writeFile(victim, "keep me");
    ASSERT_EQ(0, ::unlink((pair + "/last-run").c_str()));
    ASSERT_EQ(0, ::symlink(victim.c_str(), (pair + "/last-run.new").c_str()));
    ASSERT_EQ(0, ::chown(pair.c_str(), 65534, 65534));
    flrtest::writeFile(src + "/another", "y");
    const flrtest::ToolRun refused = flrtest::runTool(run);
    EXPECT_NE(0, refused.status);
    EXPECT_NE(std::string::npos, refused.err.find("it is owned by user 65534")) << refused.err;
    EXPECT_EQ("keep me", flrtest::readFile(victim));
}

}  // namespace
