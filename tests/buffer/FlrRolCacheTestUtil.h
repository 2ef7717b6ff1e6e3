#pragma once
// Helpers of the rolling-cache tests: entry contents that can be checked
// from their number alone, cache files built byte by byte, and child
// processes started from this same test binary.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "buffer/FlrRolCacheBase.h"

namespace rctest {

inline uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

// A fixed megabyte of noise that payloads are cut from at memcpy speed, so
// that writers in the tests spend their time writing, not generating.
inline const std::string& noise() {
    static const std::string table = [] {
        std::string t(1 << 20, '\0');
        uint64_t state = 0x243F6A8885A308D3ULL;
        for (size_t i = 0; i < t.size(); i += 8) {
            state = mix(state + i);
            std::memcpy(&t[i], &state, 8);
        }
        return t;
    }();
    return table;
}

// Entry seq holds len bytes that depend on both; a misplaced or mixed-up
// payload does not match.
inline std::string payload(uint64_t seq, size_t len) {
    const std::string& n = noise();
    std::string s;
    s.reserve(len);
    size_t off = mix(seq ^ (len << 40)) % (n.size() / 2);
    while (s.size() < len) {
        const size_t take = std::min(len - s.size(), n.size() - off);
        s.append(n, off, take);
        off = 0;
    }
    for (size_t i = 0; i < len && i < 8; ++i) s[i] = static_cast<char>(s[i] ^ (seq >> (8 * i)));
    return s;
}

inline std::string recordBytes(uint64_t seq, const std::string& data) {
    unsigned char hdr[FlrRolCacheBase::kRecordHeaderSize];
    FlrRolCacheBase::encodeRecordHeader(seq, static_cast<int32_t>(data.size()), hdr);
    return std::string(reinterpret_cast<char*>(hdr), sizeof(hdr)) + data;
}

inline std::string sigBytes() {
    return std::string(FlrRolCacheBase::sig, 8);
}

// A cache file holding the given entries, each with payload(seq, len).
inline std::string fileBytes(const std::vector<std::pair<uint64_t, size_t>>& entries) {
    std::string out = sigBytes();
    for (const auto& [seq, len] : entries) out += recordBytes(seq, payload(seq, len));
    return out;
}

inline std::string selfExe() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) throw std::runtime_error("cannot read /proc/self/exe");
    buf[n] = '\0';
    return buf;
}

// Runs one test of this binary in a new process (fork and exec, so that no
// lock held by another thread of this process is inherited) with extra
// environment entries "NAME=value". keepFd stays open in the child.
inline pid_t spawnSelf(const std::string& testName, const std::vector<std::string>& env,
                       int keepFd = -1) {
    const std::string exe = selfExe();
    const std::string filter = "--gtest_filter=" + testName;
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
    for (const auto& e : env) envStore.push_back(e);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> argv{const_cast<char*>(exe.c_str()), const_cast<char*>(filter.c_str()),
                            nullptr};
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (keepFd >= 0) ::fcntl(keepFd, F_SETFD, 0);
        const int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) ::dup2(devnull, 1);  // the child's gtest chatter
        ::execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// Exit status of pid, or 128 + signal.
inline int waitChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace rctest
