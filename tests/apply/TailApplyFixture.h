#pragma once
// A tail service with an applying handler on loopback, and a head that sends
// entries by hand, for the apply tests.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrTailService.h"
#include "apply/FlrTailApplier.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetMessage.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace tailtest {

inline constexpr char kSecret[] = "apply test link secret, thirty-two bytes or more";

struct Registry : flrtest::ScopedRegistry {
    Registry() { JXPlatformInfo::setString("ZRP", "sLinkSecret", kSecret); }
};

// A service applying into `root`, running in the background.
struct Tail {
    std::unique_ptr<FlrTailApplier> applier;
    std::unique_ptr<FlrTailService> service;
    std::thread runner;

    // syncFiles: batches made durable as in service (most tests do not
    // survive power cuts and skip it).
    explicit Tail(const std::string& root, FlrTailApplier::Options options = {},
                  bool syncFiles = false) {
        options.syncFiles = syncFiles;
        applier = std::make_unique<FlrTailApplier>(root, options);
        service = std::make_unique<FlrTailService>(applier->handler());
        service->listen("127.0.0.1", "0");
        runner = std::thread([this] { service->run(); });
    }
    ~Tail() {
        service->stop();
        runner.join();
    }
    int port() const { return service->localPort(); }
    FlrTailApplyStats totals() const { return applier->totals(); }
};

inline FlrNetMirHeader header(const std::string& path, mode_t mode, uint64_t size,
                              uint8_t method = FlrNetMirHeader::kFull) {
    FlrNetMirHeader h{};
    h.mode = mode;
    h.uid = ::getuid();
    h.gid = ::getgid();
    h.size = size;
    h.nlink = 1;
    h.atime = 1600000000;
    h.mtime = 1600000100;
    h.method = method;
    h.overwrite = 1;
    h.path = path.c_str();
    return h;
}

// A head connected to the tail; sync() returns once everything sent before
// it was applied (the session handles messages in order).
struct Head {
    FlrNetHead net;
    explicit Head(int port) { net.connect("127.0.0.1", port, 0); }
    void sync() { net.ping(); }

    void sendFile(const std::string& path, const std::string& content, mode_t perm = 0644,
                  size_t piece = 65536) {
        const FlrNetMirHeader h = header(path, S_IFREG | perm, content.size());
        net.sendMirHeader(h);
        for (size_t at = 0; at < content.size(); at += piece)
            net.sendMirData(content.data() + at,
                            static_cast<int>(std::min(piece, content.size() - at)));
        net.sendMirEOF();
    }
    // Asks for the checksums of path as a head does before an MD5 or RSync
    // delta (the tail builds a delta only over the copy its answer
    // described); the answer is read and dropped.
    void askSums(const std::string& path, uint8_t method, int block = 4096) {
        if (method == FlrNetMirHeader::kRSync) {
            unsigned char(*weak)[4] = nullptr;
            unsigned char(*md5)[16] = nullptr;
            int n = 0;
            unsigned long long size = 0;
            net.getRSyncCheckSums(path.c_str(), block, &weak, &md5, &n, &size);
            return;
        }
        net.startMD5Stream(path.c_str(), block);
        FlrNetMessage m;
        while (net.recvMessage(&m, 30) == 0 && m.type == FLR_NET_RECV_MD5) {
        }
        EXPECT_EQ(m.type, FLR_NET_RECV_MD5_EOF) << "the MD5 stream of " << path << " broke off";
    }
    void sendEntry(const std::string& path, mode_t mode, const std::string& data = "") {
        net.sendMirHeader(header(path, mode, data.size()));
        if (!data.empty()) net.sendMirData(data.data(), static_cast<int>(data.size()));
        net.sendMirEOF();
    }
};

// Every entry under dir (not following links) with its type, mode and
// content or link target: what "nothing changed" is compared on.
inline void snapshotInto(const std::string& dir, const std::string& rel,
                         std::map<std::string, std::string>* out) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    ::closedir(d);
    for (const std::string& n : names) {
        const std::string path = dir + "/" + n;
        const std::string key = rel.empty() ? n : rel + "/" + n;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        std::string v = std::to_string(st.st_mode) + ":";
        if (S_ISREG(st.st_mode)) v += flrtest::readFile(path);
        if (S_ISLNK(st.st_mode)) {
            char buf[4096];
            const ssize_t k = ::readlink(path.c_str(), buf, sizeof buf);
            if (k > 0) v.append(buf, static_cast<size_t>(k));
        }
        (*out)[key] = v;
        if (S_ISDIR(st.st_mode)) snapshotInto(path, key, out);
    }
}

inline std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    snapshotInto(dir, "", &out);
    return out;
}

// Deterministic bytes.
inline std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

// True when a temporary of the applier is left anywhere under root.
inline bool hasTemporaries(const std::string& root) {
    for (const auto& [name, v] : snapshot(root))
        if (name.find(".flrtmp.") != std::string::npos) return true;
    return false;
}

// A tail service applying into root in a child process (so a test can kill
// it at any point); its port comes back through a pipe.
struct ChildTail {
    pid_t pid = -1;
    int port = 0;

    ChildTail(const std::string& root, const FlrTailApplier::Options& options) {
        int p[2];
        if (::pipe(p) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::close(p[0]);
            try {
                FlrTailApplier applier(root, options);
                FlrTailService service(applier.handler());
                service.listen("127.0.0.1", "0");
                const int bound = service.localPort();
                if (::write(p[1], &bound, sizeof bound) != sizeof bound) ::_exit(3);
                service.run();
            } catch (...) {
                ::_exit(2);
            }
            ::_exit(0);
        }
        ::close(p[1]);
        if (::read(p[0], &port, sizeof port) != sizeof port) port = 0;
        ::close(p[0]);
    }
    ChildTail(const ChildTail&) = delete;
    ChildTail& operator=(const ChildTail&) = delete;
    void kill() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
    }
    ~ChildTail() { kill(); }
};

}  // namespace tailtest
