#pragma once
// The job-progress client the scans and transfers report through.
#include <memory>

#include "mgmt/JXZrpJobClient.h"

class FlrJobClient : public JXZrpJobClient {
  public:
    FlrJobClient() = default;
    ~FlrJobClient() override;
};

// A client for the pair's job, continuing its last report, as the scans and
// transfers open it: the management server's name is [Platform]
// sManagementServer, else this host's name. Throws JxException (function
// "openJobClient") "Failed to derive Beacon hostname." and "Failed to init
// JXZrpJobClient object." (also for a pair without a job).
std::unique_ptr<FlrJobClient> openJobClient(int pairId);
