#pragma once
// flr replicate --watch, run by the replicate command.
#include <functional>
#include <string>
#include <vector>

#include "FLR/FlrReplicator.h"

// A declared pair read again on SIGHUP: true, with the options a start would
// now take, when they differ from the running ones.
using PairRereader = std::function<bool(const FlrReplicateOptions& running, FlrReplicateOptions*)>;

struct WatchCommand {
    bool quiet = false;     // no status line on a terminal
    std::string logFile;    // --log-file, reopened on SIGHUP
    std::string metricsAt;  // --metrics [ADDR:]PORT, or empty
    PairRereader reread;    // null unless the watch runs a declared pair
};

// Watches until SIGINT/SIGTERM, starting again when the pair changed; throws
// JxException when a watch fails.
void runWatch(FlrReplicateOptions opts, const WatchCommand& command);

// Declared pairs read again on SIGHUP: true, with the pairs (and their names)
// a start would now take, when they differ from the running ones.
using GroupRereader =
    std::function<bool(const std::vector<FlrReplicateOptions>& running,
                       std::vector<FlrReplicateOptions>* next, std::vector<std::string>* names)>;

// Watches several pairs over one live journal until SIGINT/SIGTERM, starting
// again when the pairs changed; a pair that fails is retried meanwhile.
void runWatchGroup(std::vector<FlrReplicateOptions> pairs, std::vector<std::string> names,
                   const WatchCommand& command, const GroupRereader& reread);
