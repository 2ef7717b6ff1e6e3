// The platform file API: atomic replace that survives faults and kills at any
// point, reads that never take a failing file for a missing one, and the
// replaceable operations layer the other families are tested through.
#include "platform/JxFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "FLR/JxException.h"
#include "platform/JxIO.h"
#include "support/FaultyFileOps.h"
#include "support/TestSupport.h"

using flrtest::FaultyFileOps;
using Op = FaultyFileOps::Op;

namespace {

std::vector<std::string> entries(const std::string& dir) {
    auto names = jx::listDir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(JxFile, ReplaceFileWritesWholeContentWithModeAndLeavesNoTemporary) {
    flrtest::TempDir dir;
    const std::string path = dir.file("data");
    jx::replaceFile(path, "first", 0600, "test file", "JxFile_test");
    jx::replaceFile(path, std::string(100000, 'x'), 0600, "test file", "JxFile_test");
    EXPECT_EQ(std::string(100000, 'x'), flrtest::readFile(path));
    struct stat st {};
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(std::vector<std::string>{"data"}, entries(dir.path()));
}

// A failure at any step of a replace (full disk on a write, a failing fsync,
// a failing rename) throws with the errno and leaves the old file untouched
// and no temporary file behind.
TEST(JxFile, ReplaceFileFaultAtAnyStepKeepsOldContent) {
    struct Case {
        Op op;
        int n;
        int err;
    };
    const Case cases[] = {{Op::Open, 1, EMFILE}, {Op::Write, 1, ENOSPC}, {Op::Write, 2, EIO},
                          {Op::Fsync, 1, EIO},   {Op::Close, 1, EIO},    {Op::Rename, 1, EXDEV}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.op));
        flrtest::TempDir dir;
        const std::string path = dir.file("data");
        flrtest::writeFile(path, "old content");
        FaultyFileOps faulty;
        faulty.shortWrites(4096);  // several writes per replace
        faulty.failNth(c.op, c.n, c.err);
        {
            jx::ScopedFileOps scope(faulty);
            try {
                jx::replaceFile(path, std::string(10000, 'n'), 0600, "test file", "JxFile_test");
                FAIL() << "no error";
            } catch (const JxException& e) {
                EXPECT_EQ(c.err, e.getCode());
                EXPECT_EQ("replaceFile", e.getFunction());
                EXPECT_NE(std::string::npos,
                          e.getMessage().find("Failed to write test file " + path))
                    << e.getMessage();
            }
        }
        EXPECT_EQ(1, faulty.faultsInjected());
        EXPECT_EQ("old content", flrtest::readFile(path));
        EXPECT_EQ(std::vector<std::string>{"data"}, entries(dir.path()));
    }
}

TEST(JxFile, AtomicFileCommitsStreamedWritesAndRemovesTemporaryWithoutCommit) {
    flrtest::TempDir dir;
    const std::string path = dir.file("stream");
    flrtest::writeFile(path, "before");
    {
        jx::AtomicFile f(path, 0644, "stream file", "JxFile_test");
        f.write("half");
        EXPECT_TRUE(jx::isAtomicTempName(f.tempPath().substr(dir.path().size() + 1)));
        EXPECT_EQ(2u, entries(dir.path()).size());
    }  // an error path: destroyed before commit
    EXPECT_EQ("before", flrtest::readFile(path));
    EXPECT_EQ(std::vector<std::string>{"stream"}, entries(dir.path()));

    FaultyFileOps faulty;
    faulty.shortWrites(3);  // writers must loop over short writes
    jx::ScopedFileOps scope(faulty);
    jx::AtomicFile f(path, 0644, "stream file", "JxFile_test");
    f.write("hello ");
    f.write("world");
    f.commit();
    EXPECT_EQ("hello world", flrtest::readFile(path));
    EXPECT_FALSE(jx::isAtomicTempName("stream"));
    EXPECT_THROW(f.write("late"), JxException);
}

// A process killed at any moment while replacing a file over and over leaves
// one of the complete versions, never a cut or empty file.
TEST(JxFile, ReplaceFileKilledAtAnyPointLeavesOneCompleteVersion) {
    flrtest::TempDir dir;
    const std::string path = dir.file("data");
    const std::string a(50000, 'a'), b(70000, 'b');
    jx::replaceFile(path, a, 0600, "test file", "JxFile_test");
    const int rounds = flrtest::scaled(40);
    for (int i = 0; i < rounds; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int k = 0;; ++k) jx::replaceFile(path, k % 2 ? a : b, 0600, "t", "t");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200 + (i * 397) % 3000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const std::string got = flrtest::readFile(path);
        ASSERT_TRUE(got == a || got == b) << "round " << i << ": " << got.size() << " bytes";
    }
}

TEST(JxFile, ReadFileIfExistsTellsMissingFromFailing) {
    flrtest::TempDir dir;
    std::string out = "untouched";
    EXPECT_FALSE(jx::readFileIfExists(dir.file("none"), &out));
    EXPECT_FALSE(jx::readFileIfExists(dir.file("none/below"), &out));
    EXPECT_EQ("untouched", out);
    flrtest::writeFile(dir.file("f"), std::string(200000, 'z'));
    ASSERT_TRUE(jx::readFileIfExists(dir.file("f"), &out));
    EXPECT_EQ(std::string(200000, 'z'), out);

    // Every failure other than a missing file throws, naming file and cause.
    struct Case {
        Op op;
        int err;
    };
    for (const Case c : {Case{Op::Open, EACCES}, Case{Op::Open, EMFILE}, Case{Op::Read, EIO}}) {
        FaultyFileOps faulty;
        faulty.failNth(c.op, 1, c.err);
        jx::ScopedFileOps scope(faulty);
        try {
            jx::readFileIfExists(dir.file("f"), &out, "registry file", "JXPlatformInfo");
            FAIL() << "no error for " << c.err;
        } catch (const JxException& e) {
            EXPECT_EQ(c.err, e.getCode());
            EXPECT_EQ("Failed to read registry file " + dir.file("f") + ": " + jxErrnoText(c.err),
                      e.getMessage());
            EXPECT_EQ("JXPlatformInfo", e.getSource());
        }
    }
    EXPECT_THROW(jx::readFileIfExists(dir.path(), &out), JxException);  // a folder
}

TEST(JxFile, ListDirAndFsyncDir) {
    flrtest::TempDir dir;
    EXPECT_TRUE(jx::listDir(dir.path()).empty());
    flrtest::writeFile(dir.file("b"), "");
    flrtest::writeFile(dir.file("a"), "");
    ASSERT_EQ(0, jx::fileOps().mkdir(dir.file("sub").c_str(), 0700));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "sub"}), entries(dir.path()));
    EXPECT_NO_THROW(jx::fsyncDir(dir.path()));
    try {
        jx::listDir(dir.file("missing"));
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ(ENOENT, e.getCode());
        EXPECT_EQ("Failed to list folder " + dir.file("missing") + ": " + jxErrnoText(ENOENT),
                  e.getMessage());
    }
    EXPECT_THROW(jx::fsyncDir(dir.file("missing")), JxException);
    EXPECT_EQ(".", jx::parentDir("name"));
    EXPECT_EQ("/", jx::parentDir("/name"));
    EXPECT_EQ("a/b", jx::parentDir("a/b/c"));
}

// The whole-buffer loops run through the layer in force, resume after short
// writes, and report its errors; the scope restores the previous layer.
TEST(JxFile, IoLoopsRunThroughScopedOps) {
    flrtest::TempDir dir;
    FaultyFileOps faulty;
    {
        jx::ScopedFileOps scope(faulty);
        EXPECT_EQ(&faulty, &jx::fileOps());
        jx::File f = jx::openFile(dir.file("io"), O_RDWR | O_CREAT, 0600);
        ASSERT_TRUE(f);
        faulty.shortWrites(2);
        char a[] = "abcde", b[] = "fgh";
        struct iovec iov[2] = {{a, 5}, {b, 3}};
        jx::writevAll(f.get(), iov, 2, "swap file", "FlrRawBuffer");
        jx::writeAll(f.get(), "ij", 2, "swap file", "FlrRawBuffer");
        EXPECT_GE(faulty.count(Op::Write), 5);
        faulty.failNth(Op::Write, 1, ENOSPC);
        try {
            jx::writeAll(f.get(), "k", 1, "swap file", "FlrRawBuffer");
            FAIL();
        } catch (const JxException& e) {
            EXPECT_EQ(ENOSPC, e.getCode());
            EXPECT_EQ("Failed to write data to swap file: " + jxErrnoText(ENOSPC), e.getMessage());
        }
        char got[10];
        ASSERT_EQ(0, jx::fileOps().lseek(f.get(), 0, SEEK_SET));
        faulty.failNth(Op::Read, 1, EIO);
        EXPECT_EQ(-1, jx::readUpTo(f.get(), got, sizeof got));
        EXPECT_EQ(10, jx::readUpTo(f.get(), got, sizeof got));
        EXPECT_EQ("abcdefghij", std::string(got, 10));
        EXPECT_EQ(0, f.close());
        EXPECT_FALSE(f.valid());
    }
    EXPECT_EQ(&jx::posixFileOps(), &jx::fileOps());

    jx::File moved = jx::openFile(dir.file("io"), O_RDONLY);
    const int fd = moved.get();
    jx::File other(std::move(moved));
    EXPECT_FALSE(moved.valid());
    EXPECT_EQ(fd, other.get());
    const int raw = other.release();
    EXPECT_EQ(0, ::close(raw));
}
