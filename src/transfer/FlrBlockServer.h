#pragma once
// The head's side of the LBFS exchange that follows the block lists: a
// thread reads the tail's block requests from the main connection and
// answers them over a second connection (dup()). While it runs nothing else
// reads the main connection. The sending thread records each file before its
// block list leaves (announce), starts the thread with the first one, and
// ends the exchange with flush() (LBFS_STOP, echoed by the tail once it asked
// for everything) or abort() (at once, without the exchange).
//
// The tail gets blocks only of a file this run announced, read from that
// very file and within its announced length; any other request ends the
// exchange with an error that flush() throws.
#include <sys/types.h>

#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "FlrBackupContext.h"
#include "digest/JxLBFS.h"
#include "platform/JxMonitor.h"
#include "platform/JxThread.h"

struct FlrNetMessage;

class FlrBlockServer {
  public:
    explicit FlrBlockServer(FlrBackupContext& ctx);
    // Ends a running thread without the exchange.
    ~FlrBlockServer();
    FlrBlockServer(const FlrBlockServer&) = delete;
    FlrBlockServer& operator=(const FlrBlockServer&) = delete;

    // A new run: no earlier error, nothing announced.
    void resetRun();
    // Records what the tail may ask for of f (the file open as fd).
    void announce(const FlrBackupItem& f, int fd, const std::list<JxLBFS::HashBlock>& blocks);
    // Starts the thread unless it runs; called on the sending thread.
    void start();
    // Sends LBFS_STOP and waits until the thread ended (no-op when it does
    // not run); throws the thread's error, or "Aborted".
    void flush();
    // Ends the thread at once, without the exchange, and joins it.
    void abort();
    bool isRunning() const;
    // The error the thread ended with, empty when none.
    std::string errorText() const;

  private:
    struct Request;
    struct Announced {
        fsf_fid fid;
        dev_t dev = 0;
        ino_t ino = 0;
        uint64_t length = 0;
    };

    void run(FlrNetHead* conn);
    void serve(FlrNetHead& conn);
    void answer(FlrNetHead& conn, Request& req, const FlrNetMessage& m);
    void openRequested(Request& req, const char* path, const char* fidText);
    void sendBlock(FlrNetHead& conn, Request& req, const JxLBFS::Block& block);
    void forgetAnnounced();

    FlrBackupContext& ctx_;
    mutable JxMonitorH mon_;
    bool running_ = false;        // guarded by mon_
    bool stop_ = false;           // guarded by mon_
    std::string error_;           // guarded by mon_
    FlrNetHead* conn_ = nullptr;  // guarded by mon_; the thread's connection
    // What this run announced, by source path. Guarded by mon_.
    std::unordered_map<std::string, Announced> announced_;
    JxThread thread_;        // started and joined by the sending thread
    std::vector<char> buf_;  // the thread's read buffer
};
