// Export files of the raw buffer: round trips, the end record that makes a
// cut file refusable, files of the earlier format, and exports that fail or
// are killed part-way, none of which may lose or half-import an entry.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <thread>

#include "FlrRawBufferTestUtil.h"
#include "buffer/FlrRawBuffer.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"
#include "support/FaultyFileOps.h"
#include "support/TestSupport.h"

using namespace rbtest;

namespace {

// Limits every file this process writes to `bytes` (RLIM_INFINITY lifts the
// limit again); writes beyond it fail with EFBIG instead of raising SIGXFSZ.
void limitFileSize(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{};
    getrlimit(RLIMIT_FSIZE, &lim);
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
}

std::vector<std::string> drain(FlrRawBuffer& rb) {
    std::vector<std::string> out;
    rb.becomeNonBlock(60);
    Consumer c;
    std::string s;
    while (c.next(rb, s)) out.push_back(s);
    return out;
}

std::vector<std::string> entriesOf(uint32_t first, int count, size_t len) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.push_back(payload(first + static_cast<uint32_t>(i), len));
    return out;
}

}  // namespace

TEST(FlrRawBufferExport, RoundTripsAQueueSpanningMemoryAndSeveralSwapFiles) {
    flrtest::TempDir dir, swapA, swapB;
    std::mt19937 rng(42);
    std::vector<std::string> entries;
    FlrRawBuffer rb(swapA.path().c_str(), 200000);
    for (uint32_t i = 0; entries.size() < 400; ++i) {
        // Mostly small entries with some large ones, so memory and swap alternate.
        const size_t len = (rng() % 8 == 0) ? 100000 + rng() % 400000 : 1 + rng() % 3000;
        entries.push_back(payload(i, len));
        add(rb, entries.back());
    }
    EXPECT_GT(rb.getMemCount(), 0);
    EXPECT_GT(rb.getSwapCount(), 0);

    // Consume into the first swap file so the export starts part-way through it.
    const int files = rb.getSwapFileCount();
    ASSERT_GE(files, 3) << "test needs a queue over several swap files";
    Consumer c;
    size_t taken = 0;
    for (int swapTaken = 0; swapTaken < 2;) {
        const int before = rb.getSwapCount();
        ASSERT_EQ(c.take(rb), entries[taken++]);
        if (rb.getSwapCount() < before) ++swapTaken;
    }
    EXPECT_EQ(rb.getSwapFileCount(), files);
    std::vector<std::string> rest(entries.begin() + static_cast<long>(taken), entries.end());

    const std::string exp = dir.file("journal.export");
    rb.exportToFile(exp.c_str());
    EXPECT_EQ(flrtest::readFile(exp), exportBytes(rest));
    struct stat st {};
    ASSERT_EQ(::stat(exp.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(rb.getMemCount() + rb.getSwapCount(), 0);
    EXPECT_EQ(rb.getMemUsed(), 0);
    EXPECT_EQ(rb.getSwapFileCount(), 0);
    EXPECT_FALSE(exists(swapA.file("swap.0")));

    // The emptied buffer keeps working.
    add(rb, payload(999, 10));
    EXPECT_EQ(c.take(rb), payload(999, 10));

    FlrRawBuffer other(swapB.path().c_str(), 50000);
    other.importFromFile(exp.c_str());
    for (const auto& e : rest) ASSERT_EQ(c.take(other), e);
    other.becomeNonBlock(5);
    std::string s;
    EXPECT_FALSE(c.next(other, s));
}

TEST(FlrRawBufferExport, EmptyExportHoldsSignatureAndEndRecord) {
    flrtest::TempDir dir;
    FlrRawBuffer rb(nullptr, 1000);
    const std::string exp = dir.file("e");
    rb.exportToFile(exp.c_str());
    EXPECT_EQ(flrtest::readFile(exp), exportBytes({}));
    EXPECT_EQ(flrtest::readFile(exp).size(), 8u + FlrRawBuffer::kExportEndRecord);
    rb.importFromFile(exp.c_str());
    EXPECT_EQ(rb.getMemCount(), 0);

    // The largest entry an export file may hold is accepted.
    const std::string big = payload(5, 0x500000);
    flrtest::writeFile(exp, exportBytes({big, "x"}));
    FlrRawBuffer roomy(nullptr, 0x600000);
    roomy.importFromFile(exp.c_str());
    Consumer c;
    EXPECT_EQ(c.take(roomy), big);
    EXPECT_EQ(c.take(roomy), "x");
}

TEST(FlrRawBufferExport, DamagedFilesAreRefusedWholeWithAClearError) {
    flrtest::TempDir dir;
    const std::string f = dir.file("bad");
    const std::vector<std::string> two = {payload(1, 10), payload(2, 20)};
    const std::string good = exportBytes(two);
    const std::string legacy = legacyExportBytes(two);
    const std::string body = good.substr(0, good.size() - FlrRawBuffer::kExportEndRecord);
    std::string flipped = good;
    flipped[8 + 4 + 3] ^= 1;  // a payload byte
    std::string miscounted = good;
    miscounted[good.size() - 5] = 3;  // the low byte of the entry count
    struct Case {
        const char* what;
        std::string bytes;
        std::string function;
        std::string message;
    };
    const std::string corrupt = "Export file " + f + " is corrupt: ";
    const std::string eof = "Failed to read data from export file: Unexpected EOF.";
    const std::string fn = "FlrRawBuffer::importFromFile";
    const std::vector<Case> cases = {
        {"short header", std::string("ZRPAW\n", 6), "readAll", eof},
        {"wrong signature", std::string("ZRPAX\n\x0e\xaf", 8) + beLen(1) + "a", fn,
         corrupt + "invalid signature."},
        {"no end record", body, fn, corrupt + "the end record is missing, the file is cut short."},
        {"cut end record", good.substr(0, good.size() - 1), "readAll", eof},
        {"damaged payload", flipped, fn, corrupt + "checksum mismatch."},
        {"wrong count", miscounted, fn,
         corrupt + "the end record counts 3 entries, the file holds 2."},
        {"data after the end", good + "x", fn, corrupt + "data follows the end record."},
        {"entry too large", body + beLen(0x500001) + "abc", fn,
         corrupt + "invalid entry size encountered."},
        {"legacy entry too large", legacy + beLen(0x500001) + "abc", fn,
         corrupt + "invalid entry size encountered."},
        {"legacy negative length", legacy + beLen(0xFFFFFFFFu), fn,
         corrupt + "invalid entry size encountered."},
        {"truncated payload", legacy + beLen(100) + std::string(99, 'p'), "readAll", eof},
        {"truncated length", legacy + std::string("\0\0", 2), "readAll", eof},
        {"empty entry", body + beLen(0), "FlrRawBuffer::addEntry",
         "NULL or empty journal entry passed to FlrRawBuffer::addEntry()"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.what);
        flrtest::writeFile(f, tc.bytes);
        FlrRawBuffer rb(nullptr, 1 << 20);
        try {
            rb.importFromFile(f.c_str());
            ADD_FAILURE() << "damaged file accepted";
        } catch (const JxException& e) {
            EXPECT_EQ(e.getFunction(), tc.function);
            EXPECT_EQ(e.getMessage(), tc.message);
            EXPECT_EQ(e.getSource(), "FlrRawBuffer");
        }
        // Nothing of a damaged file is queued, so a retry cannot duplicate.
        EXPECT_EQ(rb.getMemCount(), 0);
    }

    // Well formed, but one entry can never fit a buffer without swap files.
    flrtest::writeFile(f, exportBytes({payload(1, 10), std::string(200, 'e')}));
    FlrRawBuffer rb(nullptr, 100);
    EXPECT_NE(thrownMessage([&] { rb.importFromFile(f.c_str()); }).find("200 bytes"),
              std::string::npos);
    EXPECT_EQ(rb.getMemCount(), 0);

    const std::string missing = dir.file("missing");
    EXPECT_EQ(thrownMessage([&] { rb.importFromFile(missing.c_str()); }),
              "Failed to open export file " + missing + " for reading: No such file or directory");
    const std::string noDir = dir.file("none/e");
    add(rb, "keep");
    EXPECT_EQ(thrownMessage([&] { rb.exportToFile(noDir.c_str()); }),
              "Failed to open export file " + noDir + " for writing: No such file or directory");
    Consumer c;
    EXPECT_EQ(c.take(rb), "keep");
}

TEST(FlrRawBufferFailure, FailedExportLosesNothing) {
    flrtest::TempDir dir;
    const int rc = flrtest::runInChild([&]() -> int {
        FlrRawBuffer rb(dir.path().c_str(), 100000);
        std::vector<std::string> entries;
        for (uint32_t i = 0; i < 40; ++i) {
            entries.push_back(payload(i, 30000 + i));
            add(rb, entries.back());
        }
        limitFileSize(500000);
        const std::string exp = dir.file("export");
        const std::string msg = thrownMessage([&] { rb.exportToFile(exp.c_str()); });
        if (msg != "Failed to write data to export file: File too large") return 10;
        if (exists(exp)) return 11;  // no partial export left to be imported later
        Consumer c;
        for (const auto& e : entries)
            if (c.take(rb) != e) return 12;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

// Files written before the end record existed still import, whole, with a
// warning that their completeness cannot be proven.
TEST(FlrRawBufferExport, EarlierFormatImportsWithAWarning) {
    flrtest::TempDir dir;
    const std::string f = dir.file("old.export");
    const auto entries = entriesOf(10, 5, 300);
    flrtest::writeFile(f, legacyExportBytes(entries));
    EvDebugCapture log;
    FlrRawBuffer rb(nullptr, 1 << 20);
    rb.importFromFile(f.c_str());
    EXPECT_EQ(drain(rb), entries);
    EXPECT_TRUE(
        log.containsFragment("has the format of an earlier version, without an end "
                             "record: importing its 5 entries"));
    log.clear();
    flrtest::writeFile(f, exportBytes(entries));
    rb.importFromFile(f.c_str());
    EXPECT_EQ(drain(rb), entries);
    EXPECT_FALSE(log.containsFragment("earlier version"));
}

// Cut at any length, as a power cut or a full disk may leave it, an export
// file is refused and nothing of it is queued.
TEST(FlrRawBufferExport, EveryTruncationIsRefused) {
    flrtest::TempDir dir;
    const std::string f = dir.file("e");
    const std::string bytes =
        exportBytes({payload(1, 7), payload(2, 40), payload(3, 1), payload(4, 90)});
    for (size_t len = 0; len < bytes.size(); ++len) {
        flrtest::writeFile(f, bytes.substr(0, len));
        FlrRawBuffer rb(nullptr, 1 << 20);
        EXPECT_THROW(rb.importFromFile(f.c_str()), JxException) << "cut at " << len;
        ASSERT_EQ(rb.getMemCount(), 0) << "cut at " << len;
    }
}

// A full disk or an I/O error at any write, a failing fsync or rename: the
// export fails with the cause, the previous export file is intact and the
// queue still holds every entry.
TEST(FlrRawBufferExport, FailedExportKeepsThePreviousFileAndTheQueue) {
    using Op = flrtest::FaultyFileOps::Op;
    struct Case {
        Op op;
        int n;
        int err;
    };
    const Case cases[] = {{Op::Write, 1, ENOSPC},
                          {Op::Write, 2, EIO},
                          {Op::Write, 17, ENOSPC},
                          {Op::Fsync, 1, EIO},
                          {Op::Rename, 1, EIO}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        flrtest::TempDir dir, swap;
        const std::string exp = dir.file("export");
        const auto previous = entriesOf(100, 3, 50);
        flrtest::writeFile(exp, exportBytes(previous));
        FlrRawBuffer rb(swap.path().c_str(), 20000);
        const auto entries = entriesOf(0, 30, 3000);  // memory and swap
        for (const auto& e : entries) add(rb, e);
        flrtest::FaultyFileOps faulty;
        faulty.failNth(c.op, c.n, c.err);
        {
            jx::ScopedFileOps scope(faulty);
            try {
                rb.exportToFile(exp.c_str());
                ADD_FAILURE() << "no error";
            } catch (const JxException& e) {
                EXPECT_EQ(e.getCode(), c.err);
            }
        }
        EXPECT_EQ(flrtest::readFile(exp), exportBytes(previous));
        EXPECT_EQ(drain(rb), entries);
        EXPECT_EQ(jx::listDir(dir.path()), std::vector<std::string>{"export"});
    }
}

// A process killed at any point of an export leaves the previous export or
// the new one, whole: never a file cut at an entry boundary that imports as
// a shorter journal.
TEST(FlrRawBufferExport, ExportKilledAtAnyPointLeavesACompleteFile) {
    flrtest::TempDir dir;
    const std::string exp = dir.file("export");
    const auto a = entriesOf(0, 400, 700), b = entriesOf(1000, 300, 1100);
    {
        FlrRawBuffer rb(nullptr, 1 << 24);
        for (const auto& e : a) add(rb, e);
        rb.exportToFile(exp.c_str());
    }
    const int rounds = flrtest::scaled(30);
    for (int i = 0; i < rounds; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            FlrRawBuffer rb(nullptr, 1 << 24);
            for (int k = 0;; ++k) {
                for (const auto& e : k % 2 ? a : b) add(rb, e);
                rb.exportToFile(exp.c_str());
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300 + (i * 911) % 6000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        FlrRawBuffer rb(nullptr, 1 << 24);
        ASSERT_NO_THROW(rb.importFromFile(exp.c_str())) << "round " << i;
        const auto got = drain(rb);
        ASSERT_TRUE(got == a || got == b) << "round " << i << ": " << got.size() << " entries";
    }
}
