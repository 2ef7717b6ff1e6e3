#pragma once
// The host-wide journal sequence counter: strictly increasing across every
// process of the host, persistent, and never handing out a number twice,
// also across crashes of a process or of the host.
//
// Numbers are reserved in blocks: the end of the current block is written to
// the state file (atomic replace, fsync'd) before any number of the block is
// handed out. The next number and the reserved end live in a small shared
// file (<state>.shm, mapped by every process) guarded by flock, which the
// kernel releases when a holder dies. After a host restart (the boot id in
// the shared file differs) counting resumes after the persisted block end, so
// numbers that may have been handed out before the crash are skipped, never
// repeated.
#include <cstdint>
#include <string>

class JxSeqCounter {
  public:
    static constexpr uint64_t kDefaultBlock = 4096;

    // Throws JxException when the files cannot be opened or mapped.
    explicit JxSeqCounter(std::string statePath, uint64_t blockSize = kDefaultBlock);
    ~JxSeqCounter();
    JxSeqCounter(const JxSeqCounter&) = delete;
    JxSeqCounter& operator=(const JxSeqCounter&) = delete;

    // The next number (1 or higher). Throws JxException when a new block
    // cannot be persisted; no number is handed out then.
    uint64_t next();

    // <install directory>/journal.seq
    static std::string defaultPath();
    // One counter per process on the default path, made on first use.
    static JxSeqCounter& host();

  private:
    struct Shared;
    void lock();
    void unlock();
    void persistEnd(uint64_t end);
    uint64_t readPersistedEnd() const;

    std::string path_;
    uint64_t block_;
    std::string boot_;  // this host start's boot id
    int shmFd_ = -1;
    Shared* shared_ = nullptr;
};
