#pragma once
// A scripted tail for the head's LBFS exchange: every session is served
// alike (a driver's main connection, its LBFS connection, the streams of a
// multi-stream run). It records headers and announced block lists, asks for
// the blocks a test chooses (all by default) under a token of its own,
// collects the LBFS_BLOCK and LBFS_DONE messages of any session, and echoes
// LBFS_STOP once it has asked for everything.
#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/FlrNetTail.h"
#include "net/NetTestUtil.h"

namespace lbfstest {

struct Header {
    std::string path;
    int method = -1;
    uint64_t size = 0;
    uint64_t offset = 0;  // collect offset
};

// One announced file: its LBFS_START chunks joined.
struct Announce {
    std::string path;
    std::string fid;
    std::vector<JxLBFS::HashBlock> blocks;
    uint64_t token = 0;
};

struct Block {
    uint64_t token = 0;
    uint64_t offset = 0;
    std::string data;
};

class LBFSTail {
  public:
    // Which blocks to ask for; it may also change the path and file id the
    // request names, as a hostile tail would.
    using Chooser = std::function<std::list<JxLBFS::Block>(Announce&)>;

    LBFSTail() {
        accept_ = std::thread([this] { acceptSessions(); });
    }
    ~LBFSTail() {
        stop_ = true;
        accept_.join();
        std::lock_guard<std::mutex> lock(mtx_);
        for (std::thread& t : sessions_) t.join();
    }
    LBFSTail(const LBFSTail&) = delete;
    LBFSTail& operator=(const LBFSTail&) = delete;

    int port() const { return server_.port(); }
    // Which blocks to ask for (default: every announced block). Runs on the
    // session's thread before the request goes out.
    void setChooser(Chooser c) {
        std::lock_guard<std::mutex> lock(mtx_);
        chooser_ = std::move(c);
    }
    // The count of unapplied entries a ping on a block connection (one that
    // carried LBFS_BLOCK) answers with, as a tail that failed those files.
    void setBlockSessionUnapplied(long long n) { blockUnapplied_ = n; }
    // Off: LBFS_STOP is never echoed, so the head's LBFS thread keeps running.
    void setEchoStop(bool on) { echoStop_ = on; }
    // Sent on the session right before the echo of LBFS_STOP.
    void setBeforeEcho(std::function<void(FlrNetTail&)> fn) {
        std::lock_guard<std::mutex> lock(mtx_);
        beforeEcho_ = std::move(fn);
    }

    std::vector<Header> headers() {
        std::lock_guard<std::mutex> lock(mtx_);
        return headers_;
    }
    std::vector<Announce> announced() {
        std::lock_guard<std::mutex> lock(mtx_);
        return announced_;
    }
    std::vector<Block> blocks() {
        std::lock_guard<std::mutex> lock(mtx_);
        return blocks_;
    }
    std::vector<uint64_t> dones() {
        std::lock_guard<std::mutex> lock(mtx_);
        return dones_;
    }
    int stops() const { return stops_; }
    // Bytes of every block received for token, joined in arrival order.
    std::string bytesOf(uint64_t token) {
        std::string out;
        for (const Block& b : blocks())
            if (b.token == token) out += b.data;
        return out;
    }
    // The announce of path (empty token 0 when none).
    Announce announceOf(const std::string& path) {
        for (const Announce& a : announced())
            if (a.path == path) return a;
        return Announce();
    }

  private:
    void acceptSessions() {
        for (size_t i = 0; !stop_; ++i) {
            FlrNetTail* t = nullptr;
            while (!stop_ && !t) {
                try {
                    t = &server_.tail(i, 100);
                } catch (const std::exception&) {
                }
            }
            if (!t) return;
            std::lock_guard<std::mutex> lock(mtx_);
            sessions_.emplace_back([this, t] { serve(*t); });
        }
    }

    void serve(FlrNetTail& net) {
        Announce pending;
        bool carriedBlocks = false;
        while (!stop_) {
            FlrNetMessage m;
            int rc = -1;
            try {
                rc = net.recvMessage(&m, 1);
            } catch (const std::exception&) {
                return;
            }
            if (rc == -2) continue;
            if (rc != 0) return;
            try {
                carriedBlocks = carriedBlocks || m.type == FLR_NET_LBFS_BLOCK;
                if (m.type == FLR_NET_PING && m.ping.value == 0)
                    net.pong(carriedBlocks ? blockUnapplied_.load() : 0);
                else if (m.type == FLR_NET_PING && m.ping.value > 0)
                    net.pongCount(0);  // removed, stripped, withheld: none
                else
                    handle(net, m, pending);
            } catch (const std::exception&) {
                return;  // the head went away mid-answer
            }
        }
    }

    void handle(FlrNetTail& net, const FlrNetMessage& m, Announce& pending) {
        switch (m.type) {
            case FLR_NET_MIR_HEADER: {
                std::lock_guard<std::mutex> lock(mtx_);
                headers_.push_back({m.mirHeader.path, m.mirHeader.method, m.mirHeader.size,
                                    m.mirHeader.collectOffset});
                break;
            }
            case FLR_NET_LBFS_START:
                addChunk(m.lbfsStart, pending);
                if (m.lbfsStart.last) {
                    request(net, pending);
                    pending = Announce();
                }
                break;
            case FLR_NET_LBFS_STOP:
                ++stops_;
                if (!echoStop_) break;
                {
                    std::function<void(FlrNetTail&)> fn;
                    {
                        std::lock_guard<std::mutex> lock(mtx_);
                        fn = beforeEcho_;
                    }
                    if (fn) fn(net);
                }
                net.sendLBFSStop();
                break;
            case FLR_NET_LBFS_BLOCK: {
                const auto* p = static_cast<const char*>(m.lbfsBlock.data);
                std::lock_guard<std::mutex> lock(mtx_);
                blocks_.push_back({m.lbfsBlock.value, m.lbfsBlock.offset,
                                   std::string(p, p + m.lbfsBlock.length)});
                break;
            }
            case FLR_NET_LBFS_DONE: {
                std::lock_guard<std::mutex> lock(mtx_);
                dones_.push_back(m.lbfsDone.value);
                break;
            }
            default:
                break;
        }
    }

    static void addChunk(const FlrNetLBFSStart& s, Announce& a) {
        a.path = s.path;
        a.fid = s.fid;
        for (int i = 0; i < s.count; ++i) {
            JxLBFS::HashBlock b;
            b.block.offset = s.offsetAt(i);
            b.block.length = s.lengthAt(i);
            std::memcpy(b.hash, s.hashes[i], sizeof b.hash);
            a.blocks.push_back(b);
        }
    }

    void request(FlrNetTail& net, Announce& a) {
        a.token = ++nextToken_;
        Chooser chooser;
        {
            std::lock_guard<std::mutex> lock(mtx_);
            announced_.push_back(a);
            chooser = chooser_;
        }
        std::list<JxLBFS::Block> wanted;
        if (chooser) {
            wanted = chooser(a);
        } else {
            for (const JxLBFS::HashBlock& b : a.blocks) wanted.push_back(b.block);
        }
        net.sendLBFSBlockReq(a.path.c_str(), a.fid.c_str(), a.token, wanted);
    }

    flrnettest::NetRegistry registry_;
    flrnettest::TailServer server_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> echoStop_{true};
    std::atomic<int> stops_{0};
    std::atomic<long long> blockUnapplied_{0};
    std::atomic<uint64_t> nextToken_{1000};
    std::mutex mtx_;
    Chooser chooser_;
    std::function<void(FlrNetTail&)> beforeEcho_;
    std::vector<Header> headers_;
    std::vector<Announce> announced_;
    std::vector<Block> blocks_;
    std::vector<uint64_t> dones_;
    std::thread accept_;
    std::vector<std::thread> sessions_;
};

}  // namespace lbfstest
