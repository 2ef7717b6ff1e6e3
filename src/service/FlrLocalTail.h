#pragma once
// A tail served in this process for a local destination folder: heads reach
// it over in-process channels, never a socket, so there is no port to guard
// and no secret. A replication run starts one for itself; the watcher starts
// one for the whole watch, shared by its runs and its journal.
#include <memory>
#include <string>
#include <thread>

#include "FLR/FlrTailService.h"
#include "apply/FlrTailApplier.h"

class FlrNetHead;

class FlrLocalTail {
  public:
    // Makes the destination folder when missing and starts serving. Throws
    // JxException naming what failed. applyNice > 0: the sessions apply at
    // that nice value (a watch: the workload making the changes comes
    // first, the replica catches up when the processor is free).
    FlrLocalTail(const std::string& destination, FlrTailApplier::Options options,
                 int applyNice = 0);
    ~FlrLocalTail();
    FlrLocalTail(const FlrLocalTail&) = delete;
    FlrLocalTail& operator=(const FlrLocalTail&) = delete;

    // A fresh connection of head to this tail, as are head's dup()s; any
    // thread.
    void connect(FlrNetHead& head) const;
    // Ends the sessions (they add their counts to the applier's totals) and
    // joins the service thread. Idempotent.
    void stop();

    const std::string& destination() const { return destination_; }
    FlrTailApplier& applier() { return *applier_; }
    FlrTailStats stats() const { return service_->stats(); }

  private:
    std::string destination_;
    std::unique_ptr<FlrTailApplier> applier_;
    std::unique_ptr<FlrTailService> service_;
    std::thread thread_;
};
