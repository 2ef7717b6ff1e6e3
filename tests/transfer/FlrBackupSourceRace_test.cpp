// Entries that change under the sender between the scan and their open: a
// file that became a folder, a link or a FIFO, and a folder swapped for a
// link to somewhere outside the source. None of them ends the run, none makes
// the head read outside its source, and each is left to the next pass.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FlrBackupTestUtil.h"
#include "platform/JxFile.h"
#include "scan/FlrCollectText.h"
#include "transfer/FlrBackup.h"

namespace {

using flrbackuptest::FakeTail;
using flrbackuptest::Msg;

// Changes `path` right after a stat of it: the entry changes between the
// sender's examination of it and its reading.
class ChangeAfterStat : public jx::PosixFileOps {
  public:
    ChangeAfterStat(std::string path, std::function<void()> change)
        : path_(std::move(path)), change_(std::move(change)) {}
    int lstat(const char* path, struct stat* st) override {
        const int rc = jx::PosixFileOps::lstat(path, st);
        if (rc == 0 && path_ == path && change_) std::exchange(change_, nullptr)();
        return rc;
    }

  private:
    std::string path_;
    std::function<void()> change_;
};

class BackupSourceRace : public ::testing::Test {
  protected:
    void SetUp() override { head.connect("127.0.0.1", tail.port(), 0); }

    std::string collect(const std::vector<std::string>& paths) {
        std::string text;
        for (const std::string& p : paths) text += FlrCollectText::escape(p) + "\n";
        const std::string path = work.file("collect.txt");
        flrtest::writeFile(path, text);
        return path;
    }
    // Headers the tail received from message `from` on, by destination path.
    std::vector<std::string> headers(size_t from) {
        head.flush(30);
        std::vector<std::string> out;
        for (int i = 0; i < 200; ++i) {
            out.clear();
            const std::vector<Msg> msgs = tail.messages();
            for (size_t k = from; k < msgs.size(); ++k)
                if (msgs[k].type == FLR_NET_MIR_HEADER) out.push_back(msgs[k].path);
            if (!out.empty() && out.back() == "/dst/after") break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return out;
    }

    FakeTail tail;
    flrtest::TempDir src;
    flrtest::TempDir outside;
    flrtest::TempDir work;
    FlrNetHead head;
    JxSafeFlags abortFlag;
};

TEST_F(BackupSourceRace, AnEntryThatChangedUnderTheSenderIsLeftToTheNextPass) {
    const std::string marker = "only-root-may-read-this";
    std::string secret;
    while (secret.size() < 3000) secret += marker;
    flrtest::writeFile(outside.file("f"), secret);
    ::chmod(outside.file("f").c_str(), 0600);
    struct Case {
        const char* name;
        std::string entry;                 // listed by the scan as a regular file
        std::function<void()> changeToIt;  // what happens before it is opened
    };
    const std::vector<Case> cases = {
        {"a file now a folder", src.file("a"),
         [&] {
             ::unlink(src.file("a").c_str());
             ::mkdir(src.file("a").c_str(), 0755);
         }},
        {"a file now a link", src.file("b"),
         [&] {
             ::unlink(src.file("b").c_str());
             ::symlink(outside.file("f").c_str(), src.file("b").c_str());
         }},
        {"a file now a FIFO", src.file("c"),
         [&] {
             ::unlink(src.file("c").c_str());
             ::mkfifo(src.file("c").c_str(), 0644);
         }},
        {"its folder swapped for a link outside", src.file("d/f"),
         [&] {
             ::unlink(src.file("d/f").c_str());
             ::rmdir(src.file("d").c_str());
             ::symlink(outside.path().c_str(), src.file("d").c_str());
         }},
    };
    ASSERT_EQ(0, ::mkdir(src.file("d").c_str(), 0755));
    std::vector<std::string> listed;
    for (const Case& c : cases) {
        flrtest::writeFile(c.entry, "scanned content");
        listed.push_back(c.entry);
    }
    flrtest::writeFile(src.file("after"), "after content");
    listed.push_back(src.file("after"));
    for (const Case& c : cases) c.changeToIt();

    // Opening one of them, as the sender does once its scan said "file":
    // nothing to read, no exception, counted.
    {
        FlrBackup b(&head, &abortFlag, nullptr);
        b.addDirPair(src.path().c_str(), "/dst");
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            struct stat st {};
            int fd = 0;
            ASSERT_NO_THROW(fd = b.openFile(c.entry.c_str(), fsf_fid::fid0, &st));
            EXPECT_EQ(-1, fd);
        }
        EXPECT_EQ(static_cast<long long>(cases.size()), b.getSkippedEntries());
    }
    // A whole run: what is there now travels as what it is now, the entry
    // behind the swapped folder does not travel, and the run ends well.
    for (const bool md5 : {false, true}) {
        SCOPED_TRACE(md5 ? "md5" : "plain");
        const size_t from = tail.messages().size();
        FlrBackup b(&head, &abortFlag, nullptr);
        b.addDirPair(src.path().c_str(), "/dst");
        b.useMD5 = md5;
        b.hashMinFileSize = 1;
        ASSERT_NO_THROW(b.backup(collect(listed).c_str(), 0, false, -1));
        const std::vector<std::string> sent = headers(from);
        EXPECT_EQ((std::vector<std::string>{"/dst/a", "/dst/b", "/dst/c", "/dst/after"}), sent);
        for (const Msg& m : tail.messages())
            EXPECT_EQ(std::string::npos, m.data.find(marker))
                << "bytes from outside the source sent";
    }
}

// A link examined as a link that is no longer one when its target is read:
// nothing of it is sent (a header without its target would leave the tail a
// half entry), the run goes on, and it is left to the next pass.
TEST_F(BackupSourceRace, ALinkThatChangedBeforeItsTargetWasReadIsLeftToTheNextPass) {
    struct Case {
        const char* name;
        std::string entry;
        std::function<void()> change;
        long long skipped;  // counted as changed; a vanished one is not
    };
    ASSERT_EQ(0, ::mkdir(src.file("d").c_str(), 0755));
    const std::vector<Case> cases = {
        {"a link now a file", src.file("a"),
         [&] {
             ::unlink(src.file("a").c_str());
             flrtest::writeFile(src.file("a"), "a file now");
         },
         1},
        {"a link now gone", src.file("b"), [&] { ::unlink(src.file("b").c_str()); }, 0},
        {"its folder now a file", src.file("d/c"),
         [&] {
             ::unlink(src.file("d/c").c_str());
             ::rmdir(src.file("d").c_str());
             flrtest::writeFile(src.file("d"), "a file now");
         },
         1},
    };
    flrtest::writeFile(src.file("after"), "after content");
    for (const bool md5 : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (md5 ? ", md5" : ", plain"));
            ::unlink(src.file("a").c_str());
            ::unlink(src.file("d").c_str());
            ::mkdir(src.file("d").c_str(), 0755);
            ASSERT_EQ(0, ::symlink("somewhere", c.entry.c_str()));
            ChangeAfterStat ops(c.entry, c.change);
            jx::ScopedFileOps scoped(ops);
            const size_t from = tail.messages().size();
            FlrBackup b(&head, &abortFlag, nullptr);
            b.addDirPair(src.path().c_str(), "/dst");
            b.useMD5 = md5;
            b.hashMinFileSize = 1;
            b.skipVanished = true;  // as replicate runs it
            ASSERT_NO_THROW(b.backup(collect({c.entry, src.file("after")}).c_str(), 0, false, -1));
            EXPECT_EQ((std::vector<std::string>{"/dst/after"}), headers(from));
            EXPECT_EQ(c.skipped, b.getSkippedEntries());
        }
    }
}

}  // namespace
