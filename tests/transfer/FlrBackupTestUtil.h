#pragma once
// A recording tail for the driver's tests: it answers checksum requests from
// an in-memory set of destination copies, records every message of the main
// connection, and rebuilds each received file from those messages (old copy
// plus seeks, data and copy references) so a test can compare it with the
// source.
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "digest/Jxc.h"
#include "net/FlrNetHead.h"
#include "net/NetTestUtil.h"
#include "platform/JxCoding.h"

namespace flrbackuptest {

// n bytes that compress poorly and differ by seed.
inline std::string randomContent(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

struct Msg {
    int type = 0;
    std::string path;                                   // MIR_HEADER
    int method = -1;                                    // MIR_HEADER
    uint64_t size = 0;                                  // MIR_HEADER
    uint64_t mode = 0;                                  // MIR_HEADER
    uint64_t offset = 0;                                // MIR_HEADER collectOffset, MIR_SEEK offset
    std::string data;                                   // MIR_DATA, MIR_ACL
    std::vector<std::pair<long long, long long>> refs;  // MIR_RSYNC
};

class FakeTail {
  public:
    FakeTail() {
        threads_.emplace_back([this] { acceptSessions(); });
    }
    ~FakeTail() {
        stop_ = true;
        for (std::thread& t : threads_) t.join();
        std::lock_guard<std::mutex> lock(mtx_);
        for (std::thread& t : sessions_) t.join();
    }
    FakeTail(const FakeTail&) = delete;
    FakeTail& operator=(const FakeTail&) = delete;

    int port() const { return server_.port(); }
    // The destination copy the tail holds at path.
    void setCopy(const std::string& path, const std::string& content) {
        std::lock_guard<std::mutex> lock(mtx_);
        copies_[path] = content;
    }
    bool hasCopy(const std::string& path) {
        std::lock_guard<std::mutex> lock(mtx_);
        return copies_.count(path) != 0;
    }
    std::string copy(const std::string& path) {
        std::lock_guard<std::mutex> lock(mtx_);
        return copies_[path];
    }
    // Checksum requests are received and never answered.
    void setSilent(bool on) { silent_ = on; }
    int checksumRequests() const { return requests_; }
    // Sessions whose connection ended (closed or cut by the head).
    int endedSessions() const { return ended_; }
    std::vector<Msg> messages() {
        std::lock_guard<std::mutex> lock(mtx_);
        return main_;
    }
    // The messages of the first header naming path up to its EOF.
    std::vector<Msg> messagesOf(const std::string& path) {
        std::vector<Msg> out;
        bool in = false;
        for (const Msg& m : messages()) {
            if (m.type == FLR_NET_MIR_HEADER) in = m.path == path;
            if (in) out.push_back(m);
            if (in && m.type == FLR_NET_MIR_EOF) break;
        }
        return out;
    }
    std::vector<std::string> headerPaths() {
        std::vector<std::string> out;
        for (const Msg& m : messages())
            if (m.type == FLR_NET_MIR_HEADER) out.push_back(m.path);
        return out;
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
            sessions_.emplace_back([this, t, i] { serve(*t, i == 0); });
        }
    }

    void serve(FlrNetTail& net, bool main) {
        FileState file;
        while (!stop_) {
            FlrNetMessage m;
            const int rc = net.recvMessage(&m, 1);
            if (rc == -2) continue;
            if (rc != 0) break;
            if (main) record(m, file);
            if (m.type == FLR_NET_START_MD5_STREAM) answerMD5(net, m.startMD5Stream);
            if (m.type == FLR_NET_GET_RSYNC_CSUMS_REQ) answerRSync(net, m.rsyncCsumsReq);
            if (m.type == FLR_NET_PING) net.pong();
        }
        ++ended_;
    }

    struct FileState {
        std::string path;
        int method = 0;
        uint64_t size = 0;
        std::string old;
        std::string out;
        size_t pos = 0;
    };

    void record(const FlrNetMessage& m, FileState& f) {
        Msg r;
        r.type = m.type;
        switch (m.type) {
            case FLR_NET_MIR_HEADER:
                r.path = m.mirHeader.path;
                r.method = m.mirHeader.method;
                r.size = m.mirHeader.size;
                r.mode = m.mirHeader.mode;
                r.offset = m.mirHeader.collectOffset;
                f = FileState();
                f.path = r.path;
                f.method = r.method;
                f.size = r.size;
                f.old = copy(r.path);
                if (f.method == FlrNetMirHeader::kMD5) f.out = f.old;
                break;
            case FLR_NET_MIR_DATA:
            case FLR_NET_MIR_ACL:
                r.data.assign(static_cast<const char*>(m.data.data),
                              static_cast<size_t>(m.data.len));
                if (m.type == FLR_NET_MIR_DATA) write(f, r.data);
                break;
            case FLR_NET_MIR_SEEK:
                r.offset = static_cast<uint64_t>(m.seek.offset);
                f.pos = static_cast<size_t>(m.seek.offset);
                break;
            case FLR_NET_MIR_RSYNC:
                for (int i = 0; i < m.mirRSync.count; ++i) {
                    r.refs.emplace_back(m.mirRSync.firstAt(i), m.mirRSync.secondAt(i));
                    write(f, f.old.substr(static_cast<size_t>(m.mirRSync.firstAt(i)),
                                          static_cast<size_t>(m.mirRSync.secondAt(i))));
                }
                break;
            case FLR_NET_MIR_EOF:
                f.out.resize(static_cast<size_t>(f.size));
                if (!f.path.empty()) setCopy(f.path, f.out);
                break;
            default:
                break;
        }
        std::lock_guard<std::mutex> lock(mtx_);
        main_.push_back(std::move(r));
    }

    static void write(FileState& f, const std::string& bytes) {
        if (f.out.size() < f.pos + bytes.size()) f.out.resize(f.pos + bytes.size());
        f.out.replace(f.pos, bytes.size(), bytes);
        f.pos += bytes.size();
    }

    struct Sums {
        std::vector<unsigned char> weak;
        std::vector<unsigned char> md5;
        int n = 0;
    };
    Sums sumsOf(const std::string& content, int block, bool rolling) {
        Sums s;
        for (size_t off = 0; off < content.size(); off += static_cast<size_t>(block)) {
            const size_t len = std::min(content.size() - off, static_cast<size_t>(block));
            uint32_t weak = 0xFFFFFFFFu;
            if (rolling)
                weak = Jxc::rsync(content.data() + off, len);
            else
                jx_crc32(content.data() + off, len, &weak);
            unsigned char w[4];
            jx::storeBE32(w, weak);
            s.weak.insert(s.weak.end(), w, w + 4);
            unsigned char d[16];
            Jxc::md5(content.data() + off, len, d);
            s.md5.insert(s.md5.end(), d, d + 16);
            ++s.n;
        }
        return s;
    }

    void answerMD5(FlrNetTail& net, const FlrNetPathReq& req) {
        ++requests_;
        if (silent_) return;
        const std::string path = req.path;
        if (!hasCopy(path)) {
            net.sendMD5EOF(0);
            return;
        }
        const Sums s = sumsOf(copy(path), req.blockSize, false);
        // Several messages per file, as a tail with a large copy sends them.
        constexpr int kPerMessage = 3;
        for (int i = 0; i < s.n; i += kPerMessage) {
            const int n = std::min(kPerMessage, s.n - i);
            net.sendMD5(0, n, reinterpret_cast<const unsigned char(*)[4]>(s.weak.data() + 4 * i),
                        reinterpret_cast<const unsigned char(*)[16]>(s.md5.data() + 16 * i));
        }
        net.sendMD5EOF(0);
    }

    void answerRSync(FlrNetTail& net, const FlrNetPathReq& req) {
        ++requests_;
        if (silent_) return;
        const std::string content = copy(req.path);
        const Sums s = sumsOf(content, req.blockSize, true);
        net.sendRSyncCheckSums(reinterpret_cast<const unsigned char(*)[4]>(s.weak.data()),
                               reinterpret_cast<const unsigned char(*)[16]>(s.md5.data()), s.n,
                               content.size());
    }

    flrnettest::NetRegistry registry_;
    flrnettest::TailServer server_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> silent_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> ended_{0};
    std::mutex mtx_;
    std::map<std::string, std::string> copies_;
    std::vector<Msg> main_;
    std::vector<std::thread> threads_;
    std::vector<std::thread> sessions_;
};

}  // namespace flrbackuptest
