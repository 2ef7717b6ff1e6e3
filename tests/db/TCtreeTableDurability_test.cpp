// What the table engine keeps when its writer dies, when its changes reach
// the disk, and copies of a table that is being written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lmdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "support/TestSupport.h"
#include "table/TCtreeTable.h"

namespace {

struct Row {
    uint64_t id;     // unique index
    uint64_t batch;  // duplicates index
    uint64_t value;
};

// Record 0 counts the committed batches; batch b adds the rows
// b * kStride + 1 .. b * kStride + size(b).
constexpr uint64_t kStride = 1000;
uint64_t batchSize(uint64_t b) {
    return b % 4 == 3 ? 1 : 20 + b % 7;  // every fourth a single change
}

class RowTable : public TCtreeTable {
  public:
    explicit RowTable(const std::string& dir) : TCtreeTable("RowTable"), dir_(dir) {
        EXPECT_EQ(0, initialize(dir.c_str()));
    }
    int initialize(const char* dir) override {
        int rc =
            internalInitialize(std::string(dir) + "/rows", 0, 3, 2, 2, sizeof(Row), sizeof(Row));
        if (!rc) rc = setNextField("id", 0, kTypeUInt64, 8);
        if (!rc) rc = setNextField("batch", 8, kTypeUInt64, 8);
        if (!rc) rc = setNextField("value", 16, kTypeUInt64, 8);
        if (!rc)
            rc = declareIndex({.name = "id",
                               .keyLength = 8,
                               .duplicates = false,
                               .firstSegment = 0,
                               .segmentCount = 1});
        if (!rc)
            rc = declareIndex({.name = "batch",
                               .keyLength = 8,
                               .duplicates = true,
                               .firstSegment = 1,
                               .segmentCount = 1});
        if (!rc) rc = setNextSegment(0, 8, 1);
        if (!rc) rc = setNextSegment(1, 8, 1);
        return rc ? rc : initializeComplete();
    }
    const char* getTableType() const override { return "Row Table"; }
    int registerTable() override { return internalRegisterTable(0, 0, 0); }

    int openOrCreate() { return create(); }
    int byId(uint64_t id, Row* row) {
        char key[8];
        char* c = key;
        int left = 8;
        fillKeySegment(&c, &left, &id, 0, 0, 0);
        return getRecord(0, key, row);
    }
    // Writes batch b: its rows, then the counter, as one transaction (or a
    // single change for a batch of one row, counter first).
    int writeBatch(uint64_t b) {
        Row counter{0, 0, 0};
        if (batchSize(b) == 1) {
            Row r{b * kStride + 1, b, b};
            if (int rc = byId(0, &counter)) return rc;
            counter.value = b + 1;
            if (int rc = modifyRecord(&counter)) return rc;
            return addRecord(&r);
        }
        BatchScope batch(*this);
        for (uint64_t j = 1; j <= batchSize(b); ++j) {
            Row r{b * kStride + j, b, j};
            if (int rc = addRecord(&r)) return rc;
        }
        if (int rc = byId(0, &counter)) return rc;
        counter.value = b + 1;
        if (int rc = modifyRecord(&counter)) return rc;
        return batch.commit();
    }
    // The batches whose rows are present, checked to be whole: -1 when a
    // batch is there in part or the counter disagrees.
    long wholeBatches() {
        Row counter;
        if (byId(0, &counter)) return -1;
        uint64_t count = 0;
        if (getRecordCount(&count)) return -1;
        uint64_t expected = 1;
        for (uint64_t b = 0; b < counter.value; ++b) expected += batchSize(b);
        // One more single change may have landed between counter and row.
        Row r;
        uint64_t last = counter.value ? counter.value - 1 : 0;
        if (counter.value && batchSize(last) == 1 && byId(last * kStride + 1, &r) == kNoRecord)
            --expected;
        if (count != expected) return -1;
        for (uint64_t b = 0; b < counter.value; ++b)
            for (uint64_t j = 1; j <= batchSize(b); ++j)
                if (byId(b * kStride + j, &r) && !(b == last && batchSize(b) == 1)) return -1;
        return static_cast<long>(counter.value);
    }

  private:
    std::string dir_;
};

// Writes batches from 0 on, reporting each finished one on fd.
[[noreturn]] void writeBatchesForever(const std::string& dir, int fd) {
    RowTable t(dir);
    if (t.openOrCreate()) _exit(2);
    for (uint64_t b = 0;; ++b) {
        if (t.writeBatch(b)) _exit(3);
        uint32_t n = static_cast<uint32_t>(b);
        if (write(fd, &n, sizeof n) != sizeof n) _exit(4);
    }
}

void seedCounter(const std::string& dir) {
    RowTable t(dir);
    ASSERT_EQ(0, t.openOrCreate());
    Row counter{0, 0, 0};
    ASSERT_EQ(0, t.addRecord(&counter));
}

TEST(TCtreeTableDurability, WriterKilledMidBatchLeavesExactlyTheCommittedBatches) {
    const int rounds = flrtest::scaled(3);
    for (int round = 0; round < rounds; ++round) {
        flrtest::TempDir dir;
        seedCounter(dir.path());
        RowTable parent(dir.path());  // open across the crash
        ASSERT_EQ(0, parent.open(JXIndexing::TAccessReadWrite));
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        fcntl(fds[1], F_SETPIPE_SZ, 4096);  // the writer cannot run far ahead
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            writeBatchesForever(dir.path(), fds[1]);
        }
        ::close(fds[1]);
        const uint32_t target = static_cast<uint32_t>(flrtest::scaled(300) + round * 97);
        uint32_t n = 0;
        long reported = 0;
        while (reported < target && read(fds[0], &n, sizeof n) == sizeof n) reported = n + 1;
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        while (read(fds[0], &n, sizeof n) == sizeof n) reported = n + 1;
        ::close(fds[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;

        // Every reported batch is there whole; the one running at the kill
        // either whole or not at all.
        long whole = parent.wholeBatches();
        EXPECT_TRUE(whole == reported || whole == reported + 1)
            << "reported " << reported << ", found " << whole;
        ASSERT_EQ(0, parent.close());
        RowTable fresh(dir.path());
        ASSERT_EQ(0, fresh.open(JXIndexing::TAccessReadWrite));
        EXPECT_EQ(whole, fresh.wholeBatches());
        uint64_t count = 0, after = 0;
        ASSERT_EQ(0, fresh.getRecordCount(&count));
        EXPECT_EQ(0, fresh.writeBatch(kStride));  // and writes go on
        ASSERT_EQ(0, fresh.getRecordCount(&after));
        EXPECT_EQ(count + batchSize(kStride), after);
    }
}

TEST(TCtreeTableDurability, FileIsWrittenWithoutAWritableMap) {
    flrtest::TempDir dir;
    RowTable t(dir.path());
    ASSERT_EQ(0, t.openOrCreate());
    unsigned flags = 0;
    ASSERT_EQ(0, t.environmentFlags(&flags));
    EXPECT_EQ(0u, flags & MDB_WRITEMAP);
    EXPECT_NE(0u, flags & MDB_NOSYNC);
}

// Until the flusher has flushed (and counted) what t committed.
bool waitUntilSynced(RowTable& t, uint64_t countBefore) {
    for (int i = 0; i < 500; ++i) {
        if (!t.hasUnsyncedChanges() && TCtreeTable::syncCount() > countBefore) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// What can be seen of flushing: the engine's own bookkeeping and its count of
// fdatasync calls made. That the disk really kept the bytes needs a power cut.
TEST(TCtreeTableDurability, CommitsAreFlushedByTheirBatchScopeOrWithinTheInterval) {
    flrtest::TempDir dir;
    TCtreeTable::setSyncInterval(50);
    RowTable t(dir.path());
    ASSERT_EQ(0, t.openOrCreate());
    ASSERT_TRUE(waitUntilSynced(t, 0));

    Row r{1, 0, 0};
    uint64_t before = TCtreeTable::syncCount();
    ASSERT_EQ(0, t.addRecord(&r));
    EXPECT_TRUE(t.hasUnsyncedChanges());
    EXPECT_TRUE(waitUntilSynced(t, before)) << "a single change was never flushed";

    TCtreeTable::setSyncInterval(60000);  // only the scope may flush now
    for (auto flush : {TCtreeTable::Flush::AtEnd, TCtreeTable::Flush::Background}) {
        before = TCtreeTable::syncCount();
        {
            TCtreeTable::BatchScope outer(t, 0, flush);
            {
                TCtreeTable::BatchScope inner(t);  // a nested scope flushes nothing
                Row x{++r.id, 0, 0};
                ASSERT_EQ(0, t.addRecord(&x));
                ASSERT_EQ(0, inner.commit());
                EXPECT_EQ(before, TCtreeTable::syncCount());
            }
            ASSERT_EQ(0, outer.commit());
        }
        if (flush == TCtreeTable::Flush::AtEnd) {
            EXPECT_FALSE(t.hasUnsyncedChanges());
            EXPECT_EQ(before + 1, TCtreeTable::syncCount());
        } else {
            EXPECT_TRUE(t.hasUnsyncedChanges());
            EXPECT_EQ(before, TCtreeTable::syncCount());
        }
    }
    before = TCtreeTable::syncCount();
    ASSERT_EQ(0, t.close());
    EXPECT_EQ(before + 1, TCtreeTable::syncCount()) << "close did not flush";
    TCtreeTable::setSyncInterval(0);
}

TEST(TCtreeTableDurability, CopyOfATableBeingWrittenIsOneCommittedState) {
    flrtest::TempDir dir;
    seedCounter(dir.path());
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(fds[0]);
        writeBatchesForever(dir.path(), fds[1]);
    }
    ::close(fds[1]);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);  // drained only to keep the writer going
    // The copies are made once the writer has committed a batch: on a busy
    // machine its start may otherwise come after the last copy.
    pollfd started{fds[0], POLLIN, 0};
    ASSERT_EQ(1, ::poll(&started, 1, 30000)) << "the writer never committed a batch";
    RowTable source(dir.path());
    ASSERT_EQ(0, source.open(JXIndexing::TAccessReadOnly));
    long lastSeen = -1;
    const int copies = flrtest::scaled(8);
    for (int i = 0; i < copies; ++i) {
        uint32_t drain[256];
        while (read(fds[0], drain, sizeof drain) > 0) {
        }
        std::string copyDir = dir.path() + "/copy" + std::to_string(i);
        ASSERT_EQ(0, ::mkdir(copyDir.c_str(), 0755));
        ASSERT_EQ(0, source.copyTo(copyDir + "/rows.dat"))
            << TCtreeTable::errToString(source.lastResult());
        EXPECT_NE(0, ::access((copyDir + "/rows.dat.tmp").c_str(), F_OK));
        RowTable copy(copyDir);
        ASSERT_EQ(0, copy.open(JXIndexing::TAccessReadWrite));
        long whole = copy.wholeBatches();
        EXPECT_GE(whole, lastSeen) << "copy " << i << " is not a committed state";
        lastSeen = whole;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ::close(fds[0]);
    EXPECT_GT(lastSeen, 0) << "the writer wrote nothing while copies were made";
}

}  // namespace
