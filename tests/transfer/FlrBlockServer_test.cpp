// The block server on its own, against a scripted tail: it answers for what
// the current exchange announced, read from the very file announced; an
// ended exchange's files are no longer served.
#include "transfer/FlrBlockServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "LBFSTestTail.h"
#include "platform/JxFile.h"
#include "support/TestSupport.h"
#include "transfer/FlrBackupSource.h"

namespace {

// A source folder, a connection to a scripted tail, and the context the
// block server reads them through.
class BlockServer : public ::testing::Test {
  protected:
    void SetUp() override {
        conn.connect("127.0.0.1", tail.port(), 0);
        source.addPair(src.path().c_str(), "/dst");
    }

    // Writes and announces a file and sends its block list, as the LBFS
    // sender does; between the two runs beforeStart. Returns its path.
    std::string announce(const std::string& name, const std::string& content,
                         const std::function<void()>& beforeStart = nullptr) {
        const std::string path = src.file(name);
        flrtest::writeFile(path, content);
        jx::File file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        std::list<JxLBFS::HashBlock> blocks;
        EXPECT_FALSE(JxLBFS::split(file.get(), blocks).IsError());
        FlrBackupItem item;
        item.src = path;
        server.announce(item, file.get(), blocks);
        if (beforeStart) beforeStart();
        conn.sendLBFSStart(path.c_str(), item.fid, blocks);
        server.start();
        return path;
    }
    // The error flush() ends the exchange with, empty when none.
    std::string flushError() {
        try {
            server.flush();
        } catch (const JxException& e) {
            return e.getMessage();
        }
        return "";
    }

    lbfstest::LBFSTail tail;
    flrtest::TempDir src;
    FlrNetHead conn;
    JxSafeFlags abortFlag;
    FlrBackupSettings settings;
    FlrBackupCounters counters;
    FlrBackupSamples samples;
    FlrBackupSource source{nullptr, settings, counters};
    FlrBackupContext ctx{conn, abortFlag, settings, source, counters, samples};
    FlrBlockServer server{ctx};
};

std::string patterned(size_t n, char first) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(first + (i * 7 + i / 13) % 23);
    return s;
}

TEST_F(BlockServer, AnEndedExchangesFilesAreNoLongerServed) {
    const std::string a = patterned(30000, 'a');
    const std::string first = announce("a", a);
    EXPECT_EQ("", flushError());
    EXPECT_EQ(a.size(), counters.lbfsBlockBytes.load());

    // The next exchange announces b; the tail asks for a's blocks instead.
    tail.setChooser([&](lbfstest::Announce& req) {
        req.path = first;
        return std::list<JxLBFS::Block>{{0, 1000}};
    });
    announce("b", patterned(30000, 'b'));
    EXPECT_NE(std::string::npos, flushError().find("which this run did not announce"));
    EXPECT_EQ(a.size(), counters.lbfsBlockBytes.load()) << "bytes of an ended exchange sent";
}

TEST_F(BlockServer, AFileReplacedAfterItsAnnounceIsSkippedNotSent) {
    // Another inode takes the name before the tail can ask for a block.
    const std::string swapped = src.file("c.new");
    flrtest::writeFile(swapped, std::string(30000, 'X'));
    announce("c", patterned(30000, 'c'),
             [&] { ASSERT_EQ(0, std::rename(swapped.c_str(), src.file("c").c_str())); });
    EXPECT_EQ("", flushError());
    EXPECT_EQ(0u, counters.lbfsBlockBytes.load()) << "the replacement's bytes were sent";
    EXPECT_EQ(1u, tail.dones().size()) << "the tail was not told that no blocks come";
}

}  // namespace
