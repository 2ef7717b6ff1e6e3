#pragma once
// The state of one replication run, shared by the run's two halves.
#include <memory>
#include <string>
#include <thread>

#include "FLR/FlrReplicator.h"
#include "FlrLocalTail.h"
#include "net/FlrNetHead.h"
#include "platform/JxFileLock.h"

// Everything one run holds; torn down in reverse order, so a local tail is
// stopped (and its threads joined) before the applier it serves goes away.
struct FlrReplicator::Run {
    std::string source;
    std::string state;
    std::string collect, dirchange, dirchangeSent, dirchangeDone, lastRunFile;
    std::unique_ptr<JxFileLock> lock;
    bool remote = false;
    std::string destination;   // the path the tail is told
    long long lastStart = -1;  // start of the last completed run, -1 for none
    long lastStartNanos = 0;   // its fraction of a second
    long long start = 0;
    long startNanos = 0;
    // This run's name on every connection, and the previous run's of the
    // pair (0: none known), whose sessions the tail lets end first.
    uint64_t runId = 0;
    uint64_t follows = 0;

    std::unique_ptr<FlrLocalTail> ownTail;      // a local destination's tail of this run
    FlrLocalTail* tail = nullptr;               // the tail serving a local destination
    FlrTailApplyStats tailBefore;               // a shared tail's totals when the run began
    std::string filtersFile;                    // the last run's excludes
    std::shared_ptr<const FlrFilter> excludes;  // the options' excludes, compiled
    long long streamStripped = 0;               // privileged-entry policy on stream connections
    long long streamWithheld = 0;
    bool streamPrivReported = true;
    long long streamUnapplied = 0;  // entries a running tail failed on stream and LBFS connections
    long long streamWireBytes = 0;  // both ways on the stream and LBFS connections
    FlrNetHead head;

    // Ends the run's own local tail: its sessions end and add their counts
    // to the applier's totals.
    void stopTail() {
        if (ownTail) ownTail->stop();
    }
    ~Run() { stopTail(); }
};
