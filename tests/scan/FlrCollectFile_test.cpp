#include "scan/FlrCollectFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "scan/FlrCollectText.h"
#include "support/TestSupport.h"

namespace {

using flrtest::TempDir;

std::string collectText(const std::vector<std::string>& paths) {
    std::string text;
    for (const std::string& p : paths) text += FlrCollectText::escape(p) + "\n";
    return text;
}

std::vector<std::string> readAll(FlrCollectFile& cf, int size = 4096) {
    std::vector<std::string> lines;
    std::vector<char> buf(static_cast<size_t>(size));
    while (cf.readLine(buf.data(), size)) lines.emplace_back(buf.data());
    return lines;
}

TEST(FlrCollectFile, PathsWithLineBreaksAndBackslashesReadBackUnchanged) {
    TempDir dir;
    const std::vector<std::string> paths = {"/a/plain",
                                            "/a/line\nfeed",
                                            "/a/cr\rname",
                                            "/a/back\\slash",
                                            "/a/\\x0A-upper",
                                            "/a/\\q-other",
                                            "/a/tab\tand \xff bytes",
                                            ""};
    flrtest::writeFile(dir.file("c"), collectText(paths));
    FlrCollectFile cf(dir.file("c"), 0);
    EXPECT_EQ(paths, readAll(cf));
    std::string line;
    EXPECT_FALSE(cf.readLine(line));  // and stays at the end
}

TEST(FlrCollectFile, EmptyFileOrOffsetAtTheEndGivesNoLine) {
    TempDir dir;
    flrtest::writeFile(dir.file("empty"), "");
    flrtest::writeFile(dir.file("one"), "/x\n");
    char buf[64];
    EXPECT_FALSE(FlrCollectFile(dir.file("empty"), 0).readLine(buf, sizeof buf));
    EXPECT_FALSE(FlrCollectFile(dir.file("one"), 3).readLine(buf, sizeof buf));
    EXPECT_FALSE(FlrCollectFile(dir.file("one"), int64_t{1000}).readLine(buf, sizeof buf));
}

TEST(FlrCollectFile, ReaderBuiltAtGetOffsetContinuesWithTheNextLine) {
    TempDir dir;
    std::vector<std::string> paths;
    for (int i = 0; i < 50; ++i) paths.push_back("/d/" + std::string(size_t(i) * 7, 'n'));
    flrtest::writeFile(dir.file("c"), collectText(paths));
    for (size_t taken = 0; taken <= paths.size(); taken += 7) {
        FlrCollectFile first(dir.file("c"), 0);
        std::string line;
        for (size_t i = 0; i < taken; ++i) ASSERT_TRUE(first.readLine(line));
        FlrCollectFile resumed(dir.file("c"), static_cast<int>(first.getOffset()));
        const std::vector<std::string> rest = readAll(resumed);
        EXPECT_EQ(std::vector<std::string>(paths.begin() + long(taken), paths.end()), rest);
    }
}

// Lines of exactly size-2 bytes fit the caller's buffer (with the line feed
// and the NUL); anything longer is skipped whole, never handed out in parts.
TEST(FlrCollectFile, LongLinesAreSkippedWholeAndReadingGoesOn) {
    const int size = 32;
    const size_t lengths[] = {size - 3, size - 2, size - 1, size, size + 1, 10 * size, 300000};
    for (size_t length : lengths) {
        SCOPED_TRACE(length);
        TempDir dir;
        const std::string path = "/" + std::string(length - 1, 'p');
        flrtest::writeFile(dir.file("c"), "/before\n" + path + "\n/after\n");
        EvDebugCapture log;
        FlrCollectFile cf(dir.file("c"), 0);
        const bool fits = length <= size_t(size - 2);
        const std::vector<std::string> expected =
            fits ? std::vector<std::string>{"/before", path, "/after"}
                 : std::vector<std::string>{"/before", "/after"};
        EXPECT_EQ(expected, readAll(cf, size));
        EXPECT_EQ(fits ? 0u : 1u, cf.refusedLines());
        EXPECT_EQ(!fits, log.containsFragment("line at offset 8 of collect file"));
        EXPECT_EQ(int64_t(8 + length + 1 + 7), cf.getOffset());
    }
}

TEST(FlrCollectFile, StringFormTakesLongPathsUpToItsLimit) {
    TempDir dir;
    const std::string longest = "/" + std::string(FlrCollectFile::kMaxStringLine - 1, 'x');
    const std::string tooLong = longest + "y";
    flrtest::writeFile(dir.file("c"), longest + "\n" + tooLong + "\n/" + std::string(9000, 'z'));
    EvDebugCapture log;
    FlrCollectFile cf(dir.file("c"), 0);
    std::string line;
    ASSERT_TRUE(cf.readLine(line));
    EXPECT_EQ(longest, line);
    ASSERT_TRUE(cf.readLine(line));  // the last line has no line feed: read as it stands
    EXPECT_EQ("/" + std::string(9000, 'z'), line);
    EXPECT_FALSE(cf.readLine(line));
    EXPECT_EQ(1u, cf.refusedLines());
}

TEST(FlrCollectFile, LineWithNulByteIsRefused) {
    TempDir dir;
    flrtest::writeFile(dir.file("c"), std::string("/a\n/b\0c\n/d\n/e\\x00f\n/g\n", 22));
    EvDebugCapture log;
    FlrCollectFile cf(dir.file("c"), 0);
    EXPECT_EQ((std::vector<std::string>{"/a", "/d", "/g"}), readAll(cf));
    EXPECT_EQ(2u, cf.refusedLines());
    EXPECT_TRUE(log.containsFragment("offset 3 of collect file " + dir.file("c") +
                                     ": it holds a NUL byte"));
}

TEST(FlrCollectFile, ThreadsSharingOneReaderSeeEveryLineOnceInFileOrder) {
    TempDir dir;
    const int lines = flrtest::scaled(40000);
    std::string text;
    for (int i = 0; i < lines; ++i) text += "/t/" + std::to_string(i) + "\n";
    flrtest::writeFile(dir.file("c"), text);
    FlrCollectFile cf(dir.file("c"), 0);
    std::vector<std::vector<int>> seen(4);
    std::vector<std::thread> threads;
    for (auto& mine : seen)
        threads.emplace_back([&cf, &mine] {
            char buf[64];
            while (cf.readLine(buf, sizeof buf)) mine.push_back(std::stoi(buf + 3));
        });
    for (auto& t : threads) t.join();
    std::vector<int> all;
    for (const auto& mine : seen) {
        EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
        all.insert(all.end(), mine.begin(), mine.end());
    }
    std::sort(all.begin(), all.end());
    ASSERT_EQ(size_t(lines), all.size());
    for (int i = 0; i < lines; ++i) ASSERT_EQ(i, all[size_t(i)]);
    EXPECT_EQ(int64_t(text.size()), cf.getOffset());
}

// A sparse file: the lines sit past 2 GiB without writing the bytes before.
TEST(FlrCollectFile, OffsetsPastTwoGiBResume) {
    TempDir dir;
    const int64_t at = (int64_t{3} << 30) + 5;
    const std::string text = "/far/one\n/far/two\n";
    {
        const int fd = ::open(dir.file("c").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ssize_t(text.size()), ::pwrite(fd, text.data(), text.size(), at));
        ::close(fd);
    }
    FlrCollectFile first(dir.file("c"), at);
    std::string line;
    ASSERT_TRUE(first.readLine(line));
    EXPECT_EQ("/far/one", line);
    EXPECT_EQ(at + 9, first.getOffset());
    FlrCollectFile resumed(dir.file("c"), first.getOffset());
    ASSERT_TRUE(resumed.readLine(line));
    EXPECT_EQ("/far/two", line);
    EXPECT_FALSE(resumed.readLine(line));
    EXPECT_EQ(at + int64_t(text.size()), resumed.getOffset());
}

TEST(FlrCollectFile, OpenAndReadFailuresAreErrorsNeverAnEmptyFile) {
    TempDir dir;
    const auto message = [](const auto& call) {
        try {
            call();
        } catch (const JxException& e) {
            return e.getFunction() + "|" + e.getSource() + "|" + e.getMessage();
        }
        return std::string("no exception");
    };
    const std::string missing = dir.file("missing");
    EXPECT_EQ("FlrCollectFile|FlrCollectFile|Couldn't open collect file " + missing +
                  ": No such file or directory",
              message([&] { FlrCollectFile cf(missing, 0); }));
    EXPECT_EQ("FlrCollectFile|FlrCollectFile|Couldn't open collect file " + dir.path() +
                  ": Is a directory",
              message([&] { FlrCollectFile cf(dir.path(), 0); }));
    flrtest::writeFile(dir.file("c"), "/a\n");
    EXPECT_EQ("FlrCollectFile|FlrCollectFile|Invalid offset -1 for collect file " + dir.file("c"),
              message([&] { FlrCollectFile cf(dir.file("c"), -1); }));

    struct FailingReads : jx::PosixFileOps {
        ssize_t read(int, void*, size_t) override {
            errno = EIO;
            return -1;
        }
    } failing;
    FlrCollectFile cf(dir.file("c"), 0);
    jx::ScopedFileOps faults(failing);
    std::string line;
    EXPECT_EQ("FlrCollectFile::readLine|FlrCollectFile|Failed to read collect file " +
                  dir.file("c") + ": Input/output error",
              message([&] { cf.readLine(line); }));
    char one[1];
    EXPECT_NE("no exception", message([&] { cf.readLine(one, 1); }));
}

TEST(FlrCollectFile, TypedLinesParseIntoTypeFidAndPath) {
    const std::string fid = "0123456789abcdef0123456789ABCDEF0123456789abcdef";
    struct Case {
        std::string line;
        bool ok;
        char type;
        std::string path;
    };
    const Case cases[] = {
        {"F " + fid + " /a/b", true, 'F', "/a/b"},
        {"D\t" + fid + "\t\t/dir with  spaces ", true, 'D', "/dir with  spaces "},
        {"L  " + fid + "  /l\nnext", true, 'L', "/l\nnext"},
        {"X " + fid + " /a", false, 0, ""},
        {"F" + fid + " /a", false, 0, ""},
        {"F " + fid, false, 0, ""},
        {"F " + fid.substr(1) + " /a", false, 0, ""},
        {"F " + fid + "0 /a", false, 0, ""},
        {"F", false, 0, ""},
        {"/plain/path", false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        FlrCollectEntry e;
        e.path = "untouched";
        ASSERT_EQ(c.ok, FlrCollectFile::parseTypedLine(c.line, &e));
        EXPECT_EQ(c.ok ? c.path : "untouched", e.path);
        if (!c.ok) continue;
        EXPECT_EQ(c.type, e.type);
        EXPECT_EQ(str2fid(fid), e.fid);
    }
}

}  // namespace
