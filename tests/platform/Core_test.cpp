// The small shared pieces every family leans on: exception, error value,
// shared pointer, flags, logger, whole-buffer I/O.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "FLR/JxException.h"
#include "FLR/JxSafeFlags.h"
#include "FLR/SP.h"
#include "platform/CQiError.h"
#include "platform/EvDebug.h"
#include "platform/JxIO.h"
#include "support/TestSupport.h"

TEST(JxException, MacrosFillSourceStemLineAndCode) {
    try {
        JX_THROW("FlrThing::op", "went wrong");
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ("FlrThing::op", e.getFunction());
        EXPECT_EQ("went wrong", e.getMessage());
        EXPECT_STREQ("went wrong", e.what());
        EXPECT_EQ("Core_test", e.getSource());
        EXPECT_GT(e.getLine(), 0);
        EXPECT_EQ(-1, e.getCode());
        EXPECT_EQ("FlrThing::op: went wrong", e.toString());
    }
    try {
        JX_THROW_ERRNO("f", "Failed to open /x for reading", ENOENT);
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ("Failed to open /x for reading: No such file or directory", e.getMessage());
        EXPECT_EQ(ENOENT, e.getCode());
    }
    EXPECT_EQ("FlrRolCache", jxSourceName("src/buffer/FlrRolCache.cpp"));
    EXPECT_EQ("x", jxSourceName("x"));
    EXPECT_EQ(std::string(300, 'a') + "1", jxFormat("%s%d", std::string(300, 'a').c_str(), 1));
}

TEST(CQiError, CodesMessagesAndPushedLocations) {
    CQiError ok;
    EXPECT_FALSE(ok.IsError());
    EXPECT_EQ("success", ok.AsString());
    CQiError e(-101, "FlrLBFSHashDB", "getBlocks()", 10, "Failed to fill key segment: %s", "bad");
    e.Push("FlrLBFSTreeDB", "addFile()", 20);
    EXPECT_TRUE(e.IsError());
    EXPECT_EQ(-101, e.GetCode());
    EXPECT_EQ("Failed to fill key segment: bad", e.GetMessage());
    ASSERT_EQ(2u, e.GetLocations().size());
    const std::string s = e.AsString();
    EXPECT_NE(std::string::npos, s.find("Failed to fill key segment: bad (code -101)"));
    EXPECT_LT(s.find("getBlocks()"), s.find("addFile()"));
}

namespace {
struct Counted : SPEnabled {
    explicit Counted(std::atomic<int>& d) : dead(d) {}
    ~Counted() override { ++dead; }
    std::atomic<int>& dead;
};
struct Derived : Counted {
    using Counted::Counted;
};
}  // namespace

TEST(SP, SharesAndDestroysOnLastReleaseAcrossThreads) {
    std::atomic<int> dead{0};
    {
        SP<Counted> a(new Derived(dead));
        SP<Counted> b = a;
        EXPECT_EQ(2, a->spRefCount());
        SP<Derived> d = a.cast<Derived>();
        EXPECT_TRUE(d);
        SP<Counted> fromRaw(a.get());  // the count lives in the object
        EXPECT_EQ(4, a->spRefCount());
        std::vector<std::thread> ts;
        const int copies = flrtest::scaled(10000);
        for (int i = 0; i < 4; ++i)
            ts.emplace_back([a, copies] {
                for (int j = 0; j < copies; ++j) SP<Counted> c = a;
            });
        for (auto& t : ts) t.join();
        EXPECT_EQ(4, a->spRefCount());
        EXPECT_EQ(0, dead.load());
    }
    EXPECT_EQ(1, dead.load());
}

TEST(JxSafeFlags, TryTakeSpendsABudgetExactlyOnceAcrossThreads) {
    const int units = flrtest::scaled(1000);
    JxSafeFlags budget(units);
    std::atomic<int> taken{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            while (budget.tryTake()) ++taken;
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(units, taken.load());
    EXPECT_EQ(0, budget.get());
    EXPECT_FALSE(budget.isSet());
}

TEST(EvDebug, CaptureSeesEveryLevelAndSinkFiltersByLevel) {
    flrtest::TempDir dir;
    const std::string log = dir.file("flr.log");
    EvDebug::setLogFile(log);
    const int oldLevel = EvDebug::getLevel();
    EvDebug::setLevel(1);
    {
        EvDebugCapture cap;
        EvDebug::Debug("FlrA::b", "%s belongs to FS with mount point: %s", "/x", "/");
        EvDebug::DebugLvl("FlrA::c", 4, "trace %d", 7);
        EvDebug::Error("FlrA::d", "%s", "boom");
        TDebuggable("FlrTable").debug(2, "table %s", "line");
        auto lines = cap.lines();
        ASSERT_EQ(4u, lines.size());
        EXPECT_EQ(1, lines[0].level);
        EXPECT_EQ("FlrA::b", lines[0].function);
        EXPECT_TRUE(cap.contains("/x belongs to FS with mount point: /"));
        EXPECT_TRUE(cap.contains("trace 7"));
        EXPECT_EQ(0, lines[2].level);
        EXPECT_EQ("FlrTable", lines[3].function);
    }
    EvDebug::setLogFile("");
    EvDebug::setLevel(oldLevel);
    const std::string text = flrtest::readFile(log);
    EXPECT_NE(std::string::npos, text.find("FlrA::b: /x belongs to FS with mount point: /\n"));
    EXPECT_NE(std::string::npos, text.find("FlrA::d: boom\n"));
    EXPECT_EQ(std::string::npos, text.find("trace 7"));  // level 4 above the sink's level 1
    EXPECT_EQ(std::string::npos, text.find("table line"));
}

namespace {

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

// Thousands of per-file errors must not bury a terminal: each function shows
// its first ten, the rest become one counted line; a log file keeps all.
TEST(EvDebug, StderrShowsTheFirstErrorsOfEachFunctionAndCountsTheRest) {
    flrtest::TempDir dir;
    const std::string shown = dir.file("stderr"), kept = dir.file("kept.log");
    ASSERT_EQ(0, EvDebug::teeToFile(kept, 0));
    const int saved = ::dup(2);
    const int redirected = ::open(shown.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(redirected, 0);
    ::dup2(redirected, 2);
    for (int i = 0; i < 25; ++i) EvDebug::Error("Flood::apply", "file %d failed", i);
    for (int i = 0; i < 3; ++i) EvDebug::Error("Other::step", "rare %d", i);
    EvDebug::Debug("Flood::apply", "not an error");
    EvDebug::flushHeldErrors();
    EvDebug::flushHeldErrors();  // nothing more held: no second summary
    ::dup2(saved, 2);
    ::close(saved);
    ::close(redirected);
    EvDebug::teeToFile("", 0);

    const std::string text = flrtest::readFile(shown);
    EXPECT_EQ(10u, count(text, "Flood::apply: file ")) << text;
    EXPECT_NE(std::string::npos, text.find("Flood::apply: file 9 failed"));
    EXPECT_EQ(3u, count(text, "Other::step: rare ")) << text;
    EXPECT_EQ(1u, count(text, "flr: 15 more errors from Flood::apply not shown")) << text;
    EXPECT_EQ(0u, count(text, "more errors from Other::step"));
    EXPECT_EQ(25u, count(flrtest::readFile(kept), "Flood::apply: file "));
}

TEST(JxIO, WholeBufferLoopsAndTheirMessages) {
    int p[2];
    ASSERT_EQ(0, pipe(p));
    std::vector<char> big(1 << 20, 'x');
    std::thread writer([&] {
        struct iovec iov[2] = {{big.data(), big.size() / 2},
                               {big.data() + big.size() / 2, big.size() / 2}};
        jx::writevAll(p[1], iov, 2, "swap file", "FlrRawBuffer");
        jx::writeAll(p[1], "abc", 3, "swap file", "FlrRawBuffer");
        close(p[1]);
    });
    std::vector<char> got(big.size());
    EXPECT_EQ(static_cast<int>(got.size()),
              jx::readAll(p[0], got.data(), got.size(), true, "swap file", "FlrRawBuffer"));
    EXPECT_EQ(big, got);
    char five[5];
    try {
        jx::readAll(p[0], five, 5, false, "swap file", "FlrRawBuffer");
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ("readAll", e.getFunction());
        EXPECT_EQ("Failed to read data from swap file: Unexpected EOF.", e.getMessage());
        EXPECT_EQ(-1, e.getCode());
        EXPECT_EQ("FlrRawBuffer", e.getSource());
    }
    writer.join();
    // At a clean end of file with nothing read, eofIsError=false answers 0.
    EXPECT_EQ(0, jx::readAll(p[0], five, 5, false, "cache file", "FlrRolCacheBase"));
    EXPECT_THROW(jx::readAll(p[0], five, 5, true, "cache file", "FlrRolCacheBase"), JxException);
    close(p[0]);
    try {
        jx::writeAll(p[1], "x", 1, "cache file", "FlrRolCache");  // closed descriptor
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ("Failed to write data to cache file: Bad file descriptor", e.getMessage());
        EXPECT_EQ(EBADF, e.getCode());
    }
}
