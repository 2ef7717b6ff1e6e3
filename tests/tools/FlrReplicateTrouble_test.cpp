// What a replica's destination may hold or lack that the head does not
// expect. A destination that runs out of space while files grow: whatever the
// method, every replica file is afterwards its old copy or its new one, never
// gone and never a mix; the run says it failed, and once there is room again
// the next run converges (a small tmpfs; skipped where mount is not
// permitted). A FIFO on the destination where the source now has a regular
// file: no method opens it and waits for a writer.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

std::string randomBytes(size_t n, std::mt19937& gen) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

class SmallDestination {
  public:
    explicit SmallDestination(const std::string& path) : path_(path) {
        ::mkdir(path.c_str(), 0755);
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=3m") == 0;
    }
    ~SmallDestination() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    bool grow() { return ::mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT, "size=16m") == 0; }

  private:
    std::string path_;
    bool mounted_ = false;
};

TEST(ReplicateTrouble, TheOldCopyStaysUntilItsReplacementIsInPlace) {
    FLR_REQUIRE_TOOL();
    for (const char* method : {"rsync", "md5", "auto", "lbfs", "full"}) {
        SCOPED_TRACE(method);
        flrtest::TempDir dir;
        const std::string src = dir.file("src"), dst = dir.file("dst"), state = dir.file("state");
        ASSERT_EQ(0, ::mkdir(src.c_str(), 0755));
        SmallDestination disk(dst);
        if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
        std::mt19937 gen(7);
        std::vector<std::string> names = {"f1", "f2", "f3", "f4"};
        std::vector<std::string> old;
        for (const std::string& n : names) {
            old.push_back(randomBytes(500000, gen));
            flrtest::writeFile(src + "/" + n, old.back());
        }
        const std::vector<std::string> run = {"replicate",   "-q",  src,        dst,
                                              "--state-dir", state, "--method", method};
        ASSERT_EQ(0, flrtest::runTool(run).status);
        std::vector<std::string> grown;
        for (size_t i = 0; i < names.size(); ++i) {
            grown.push_back(old[i] + randomBytes(300000, gen));
            flrtest::writeFile(src + "/" + names[i], grown.back());
        }
        EXPECT_NE(0, flrtest::runTool(run).status) << "a run that could not write reported success";
        for (size_t i = 0; i < names.size(); ++i) {
            struct stat st {};
            const std::string path = dst + "/" + names[i];
            ASSERT_EQ(0, ::lstat(path.c_str(), &st)) << names[i] << " is gone from the replica";
            const std::string now = flrtest::readFile(path);
            EXPECT_TRUE(now == old[i] || now == grown[i]) << names[i] << " is neither copy";
        }
        ASSERT_TRUE(disk.grow());
        EXPECT_EQ(0, flrtest::runTool(run).status);
        for (size_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(grown[i], flrtest::readFile(dst + "/" + names[i])) << names[i];
    }
}

TEST(ReplicateTrouble, AFIFOOnTheDestinationNeverBlocksTheTail) {
    FLR_REQUIRE_TOOL();
    for (const char* method : {"rsync", "md5", "auto", "lbfs", "full"}) {
        SCOPED_TRACE(method);
        flrtest::TempDir dir;
        const std::string src = dir.file("src"), dst = dir.file("dst"), state = dir.file("state");
        ASSERT_EQ(0, ::mkdir(src.c_str(), 0755));
        ASSERT_EQ(0, ::mkfifo((src + "/pipe").c_str(), 0644));
        const std::vector<std::string> run = {"replicate",   "-q",  src,        dst,
                                              "--state-dir", state, "--method", method};
        ASSERT_EQ(0, flrtest::runTool(run).status);
        ASSERT_EQ(0, ::unlink((src + "/pipe").c_str()));
        const std::string content(300000, 'p');
        flrtest::writeFile(src + "/pipe", content);
        flrtest::ToolProcess again(run);
        bool ended = false;
        for (int i = 0; i < 300 && !(ended = again.exited()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(ended) << "the run waits on the destination's FIFO";
        EXPECT_EQ(0, again.exitStatus()) << again.output();
        EXPECT_EQ(content, flrtest::readFile(dst + "/pipe"));
    }
}

}  // namespace
