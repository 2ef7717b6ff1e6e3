// Head and tail in two network namespaces joined by a veth pair: a real
// interface between them instead of loopback. Needs root with
// CAP_SYS_ADMIN and CAP_NET_ADMIN; skipped otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "NetTestUtil.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"

namespace {

int sh(const std::string& cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str());
}

// Two namespaces and the veth pair between them, removed on scope exit.
class VethPair {
  public:
    VethPair() {
        const std::string id = std::to_string(::getpid());
        nsA_ = "flrtest" + id + "a";
        nsB_ = "flrtest" + id + "b";
        if (sh("ip netns add " + nsA_) != 0) return;
        haveA_ = true;
        if (sh("ip netns add " + nsB_) != 0) return;
        haveB_ = true;
        const std::string va = "fa" + id;
        const std::string vb = "fb" + id;
        ok_ = sh("ip link add " + va + " netns " + nsA_ + " type veth peer name " + vb + " netns " +
                 nsB_) == 0 &&
              sh("ip -n " + nsA_ + " addr add 10.213.7.1/24 dev " + va) == 0 &&
              sh("ip -n " + nsB_ + " addr add 10.213.7.2/24 dev " + vb) == 0 &&
              sh("ip -n " + nsA_ + " link set " + va + " up") == 0 &&
              sh("ip -n " + nsB_ + " link set " + vb + " up") == 0;
    }
    ~VethPair() {
        if (haveA_) sh("ip netns del " + nsA_);
        if (haveB_) sh("ip netns del " + nsB_);
    }
    bool ok() const { return ok_; }
    const std::string& a() const { return nsA_; }
    const std::string& b() const { return nsB_; }

  private:
    std::string nsA_;
    std::string nsB_;
    bool haveA_ = false;
    bool haveB_ = false;
    bool ok_ = false;
};

// Moves the calling thread (only) into the named namespace.
bool enter(const std::string& ns) {
    const int fd = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return ok;
}

TEST(FlrNetNamespace, HeadAndTailOnTwoNamespacesJoinedByVeth) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
    VethPair veth;
    if (!veth.ok())
        GTEST_SKIP() << "cannot create namespaces and a veth pair here (ip netns add needs "
                        "CAP_SYS_ADMIN, veth needs CAP_NET_ADMIN)";
    flrnettest::NetRegistry reg;
    reg.set("nExtraSockets", "2");
    std::promise<int> portPromise;
    std::future<int> port = portPromise.get_future();
    constexpr int kMessages = 200;

    std::thread tailSide([&] {
        if (!enter(veth.a())) {
            portPromise.set_value(-1);
            return;
        }
        flrnettest::TailServer server("10.213.7.1");
        portPromise.set_value(server.port());
        FlrNetTail& tail = server.tail();
        long long bytes = 0;
        for (int i = 0; i < kMessages + 1; ++i) {
            const FlrNetMessage m = flrnettest::recvOne(tail, 30);
            if (m.type == FLR_NET_PING) {
                tail.pong();
                continue;
            }
            EXPECT_EQ(FLR_NET_MIR_DATA, m.type);
            bytes += m.data.len;
        }
        EXPECT_EQ(kMessages * 100000LL, bytes);
        FlrNetMessage m;
        EXPECT_EQ(-1, tail.recvMessage(&m, 30));
    });
    const int tailPort = port.get();
    ASSERT_GT(tailPort, 0) << "could not enter namespace " << veth.a();

    std::thread headSide([&] {
        ASSERT_TRUE(enter(veth.b()));
        FlrNetHead head;
        head.connect("10.213.7.1", tailPort, 0);
        EXPECT_EQ(2, head.getLink().extraSocketCount());
        head.setEncryption(1);
        head.ping();
        const std::string block(100000, 'v');
        for (int i = 0; i < kMessages; ++i)
            head.sendMirData(block.data(), static_cast<int>(block.size()));
        head.closeSocket();
    });
    headSide.join();
    tailSide.join();
}

}  // namespace
