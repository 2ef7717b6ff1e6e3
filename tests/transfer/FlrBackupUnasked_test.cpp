// The planner asks the tail for checksums only where it may hold the file:
// a tree the tail lacks goes whole without a request per file, and the files
// it holds are still compared.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FlrBackupTestUtil.h"
#include "scan/FlrCollectText.h"
#include "transfer/FlrBackup.h"

namespace unaskedtest {

using flrbackuptest::Msg;

constexpr int kBlock = 4096;

// A recording tail and the head's connection to it.
struct Link {
    Link() { head.connect("127.0.0.1", tail.port(), 0); }
    flrbackuptest::FakeTail tail;
    FlrNetHead head;
};

class Unasked : public ::testing::Test {
  protected:
    std::unique_ptr<FlrBackup> driver() {
        link.reset();  // before the next: a tail leaving takes the test secret with it
        link = std::make_unique<Link>();
        auto b = std::make_unique<FlrBackup>(&link->head, &abortFlag, nullptr);
        b->addDirPair(src.path().c_str(), "/dst");
        b->hashChunkSize = kBlock;
        b->hashMinFileSize = 1;
        b->useRSync = true;
        return b;
    }
    // Writes the files, runs b over them in this order and waits until the
    // tail has them all.
    void run(FlrBackup& b, const std::vector<std::pair<std::string, std::string>>& files) {
        std::string text;
        for (const auto& [name, content] : files) {
            flrtest::writeFile(src.file(name), content);
            text += FlrCollectText::escape(src.file(name)) + "\n";
        }
        flrtest::writeFile(work.file("collect.txt"), text);
        b.backup(work.file("collect.txt").c_str(), 0, false, -1);
        link->head.flush(30);
        for (int i = 0; i < 2000; ++i) {
            size_t eofs = 0;
            for (const Msg& m : link->tail.messages()) eofs += m.type == FLR_NET_MIR_EOF;
            if (eofs >= files.size()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // The bytes of content sent for dst and whether it went by RSync.
    std::pair<size_t, bool> sentOf(const std::string& dst) {
        const std::vector<Msg> msgs = link->tail.messagesOf(dst);
        size_t literal = 0;
        for (const Msg& m : msgs) literal += m.type == FLR_NET_MIR_DATA ? m.data.size() : 0;
        return {literal, !msgs.empty() && msgs.front().method == FlrNetMirHeader::kRSync};
    }

    std::unique_ptr<Link> link;
    flrtest::TempDir src;
    flrtest::TempDir work;
    JxSafeFlags abortFlag;
};

// A request per file cost a tree of small files several times its data. Told
// that the destination is empty the planner asks nothing; else the answers
// "nothing there" soon leave only sparse probes.
TEST_F(Unasked, FilesTheTailLacksGoWholeWithoutARequestEach) {
    const struct {
        const char* name;
        bool toldEmpty;
        int maxRequests;
    } cases[] = {{"told empty", true, 0}, {"learned from answers", false, 48}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<std::string, std::string>> files;
        for (int i = 0; i < 400; ++i)
            files.emplace_back(std::string(c.name).substr(0, 4) + std::to_string(i),
                               flrbackuptest::randomContent(100, static_cast<unsigned>(i)));
        auto b = driver();
        b->tailHoldsNothing = c.toldEmpty;
        run(*b, files);
        EXPECT_LE(link->tail.checksumRequests(), c.maxRequests);
        for (const auto& [name, content] : files)
            ASSERT_TRUE(link->tail.copy("/dst/" + name) == content) << name;
    }
}

// After a run of files the tail lacks, a large file is still asked, and once
// an answer says the tail holds it the small files after it are compared
// again (all but those chosen before that answer came).
TEST_F(Unasked, FilesTheTailHoldsAreStillCompared) {
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < 60; ++i)
        files.emplace_back("new" + std::to_string(i), flrbackuptest::randomContent(100, 1000 + i));
    std::vector<std::string> held = {"big"};
    for (int i = 0; i < 80; ++i) held.push_back("held" + std::to_string(i));
    auto b = driver();
    for (const std::string& name : held) {
        const std::string old = flrbackuptest::randomContent(name == "big" ? (2 << 20) : 2 * kBlock,
                                                             name.size() * 7 + name.back());
        std::string now = old;
        now[old.size() / 2] ^= 1;
        link->tail.setCopy("/dst/" + name, old);
        files.emplace_back(name, now);
    }
    run(*b, files);
    const auto [bigLiteral, bigCompared] = sentOf("/dst/big");
    EXPECT_TRUE(bigCompared);
    EXPECT_LE(bigLiteral, 2u * kBlock);
    for (size_t i = held.size() - 40; i < held.size(); ++i) {
        const auto [literal, compared] = sentOf("/dst/" + held[i]);
        EXPECT_TRUE(compared) << held[i];
        EXPECT_LE(literal, static_cast<size_t>(kBlock)) << held[i];
    }
    for (const auto& [name, content] : files)
        ASSERT_TRUE(link->tail.copy("/dst/" + name) == content) << name;
}

}  // namespace unaskedtest
