// A replica path that holds a FIFO where the source now has a regular file:
// whatever the method, the tail never opens the FIFO for its data (that open
// would wait for a writer forever and hang every later session); the file
// takes the FIFO's place.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "TailApplyFixture.h"
#include "TailLBFSFixture.h"
#include "service/TailChildFixture.h"

using namespace tailtest;

namespace {

struct NotRegularCase {
    const char* name;
    uint8_t method;
    bool withStore;
};

class TailFifoInTheWay : public ::testing::TestWithParam<NotRegularCase> {
  protected:
    Registry reg;
    flrtest::TempDir tmp;
    std::string root = tmp.path() + "/root";
};

// 0 when the file arrived over the FIFO; otherwise what went wrong.
int sendOverFifo(const std::string& root, const std::string& storeDir, const NotRegularCase& c) {
    if (::mkfifo((root + "/f").c_str(), 0644) != 0) return 10;
    const std::string content = pattern(20000, 7);
    FlrTailApplier::Options o;
    o.storeDir = storeDir;
    o.lbfsIdleSeconds = 2;
    Tail tail(root, o);
    if (c.method == FlrNetMirHeader::kLBFS) {
        LBFSHead head(tail.port());
        head.announce("f", content);
        head.finish();
    } else {
        Head head(tail.port());
        head.net.sendMirHeader(header("f", S_IFREG | 0644, content.size(), c.method));
        head.net.sendMirData(content.data(), static_cast<int>(content.size()));
        head.net.sendMirEOF();
        head.sync();
    }
    struct stat st {};
    if (::lstat((root + "/f").c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 11;
    return flrtest::readFile(root + "/f") == content ? 0 : 12;
}

TEST_P(TailFifoInTheWay, FileReplacesTheFifoWithoutBlocking) {
    const NotRegularCase c = GetParam();
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    const std::string storeDir = c.withStore ? tmp.path() + "/store" : "";
    const int rc = runInChild([&] { return sendOverFifo(root, storeDir, c); }, 20);
    EXPECT_NE(rc, kChildTimedOut) << "the tail blocked on the FIFO";
    EXPECT_EQ(rc, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, TailFifoInTheWay,
    ::testing::Values(NotRegularCase{"full", FlrNetMirHeader::kFull, false},
                      NotRegularCase{"md5", FlrNetMirHeader::kMD5, false},
                      NotRegularCase{"rsync", FlrNetMirHeader::kRSync, false},
                      NotRegularCase{"lbfs", FlrNetMirHeader::kLBFS, false},
                      NotRegularCase{"lbfsStore", FlrNetMirHeader::kLBFS, true}),
    [](const ::testing::TestParamInfo<NotRegularCase>& i) { return std::string(i.param.name); });

}  // namespace
