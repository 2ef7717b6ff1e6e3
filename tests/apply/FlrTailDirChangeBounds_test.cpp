// A dirchange block holds its folder's names in memory until it is known
// complete: a hostile head must not make it grow without bound. A name no
// file system holds, or more names than the block's budget, refuse the block
// (counted, nothing of it applied) and the session goes on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "TailApplyFixture.h"
#include "net/FlrNetMessage.h"

using namespace tailtest;

namespace {

struct DirChangeBounds : ::testing::Test {
    Registry registry;
    flrtest::TempDir tmp;
    std::string root = tmp.file("dst");
    void SetUp() override {
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(at("d").c_str(), 0755), 0);
        flrtest::writeFile(at("d/kept"), "x");
        flrtest::writeFile(at("d/gone"), "x");
    }
    std::string at(const std::string& rel) const { return root + "/" + rel; }
    void send(Head& head, const std::string& list) {
        FlrNetMessage m(FLR_NET_MIR_SPEC_FILE);
        m.mirSpecFile.id = FLR_SPEC_FILE_DIRCHANGE;
        head.net.sendMessage(m, 10, false);
        constexpr size_t kFeedPiece = 1u << 20;
        for (size_t from = 0; from < list.size(); from += kFeedPiece)
            head.net.sendMirData(list.data() + from,
                                 static_cast<int>(std::min(kFeedPiece, list.size() - from)));
        head.net.sendMirEOF();
        head.sync();
    }
    bool present(const std::string& rel) const { return ::access(at(rel).c_str(), F_OK) == 0; }
};

TEST_F(DirChangeBounds, OversizedBlocksAreRefusedAndDeleteNothing) {
    // More names than one block may list (4 Mi, 32 MiB of hashes).
    const size_t many = (4u << 20) + 1;
    std::string flood = at("d") + "\n\tkept\n";
    flood.reserve(flood.size() + many * 10);
    for (size_t i = 0; i < many; ++i) flood += "\t" + std::to_string(i) + "\n";
    struct Row {
        const char* name;
        std::string list;
    };
    const Row rows[] = {
        {"a name longer than any file system holds",
         at("d") + "\n\tkept\n\t" + std::string(256, 'x') + "\n"},
        {"a name written escaped past the limit", at("d") + "\n\tkept\n\t" + std::string(64, 'y') +
                                                      [] {
                                                          std::string s;
                                                          for (int i = 0; i < 200; ++i)
                                                              s += "\\x09";
                                                          return s;
                                                      }() +
                                                      "\n"},
        {"more names than the budget", flood},
    };
    Tail tail(root);
    Head head(tail.port());
    long long refused = 0;
    for (const Row& row : rows) {
        send(head, row.list);
        EXPECT_EQ(head.net.unappliedEntries(), ++refused) << row.name;
        EXPECT_TRUE(present("d/gone")) << row.name;
    }
    // A block within bounds still mirrors.
    send(head, at("d") + "\n\tkept\n\t" + std::string(255, 'z') + "\n");
    EXPECT_EQ(head.net.unappliedEntries(), refused);
    EXPECT_FALSE(present("d/gone"));
    EXPECT_TRUE(present("d/kept"));
}

}  // namespace
