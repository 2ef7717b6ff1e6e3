#include "FlrJobClient.h"

#include "FLR/JxException.h"
#include "platform/JXPlatformInfo.h"

namespace {
constexpr int kPlatformLinux = 1;
}

FlrJobClient::~FlrJobClient() = default;

std::unique_ptr<FlrJobClient> openJobClient(int pairId) {
    const char* fn = "openJobClient";
    std::string server;
    if (!JXPlatformInfo::getString("Platform", "sManagementServer", server) || server.empty())
        server = JXPlatformInfo::getPhysicalHostName();
    if (server.empty()) JX_THROW(fn, "Failed to derive Beacon hostname.");
    auto client = std::make_unique<FlrJobClient>();
    if (client->init(server, kPlatformLinux) != 0)
        JX_THROW(fn, "Failed to init JXZrpJobClient object.");
    client->setPairId(pairId);
    if (client->getJobIdByPairId(pairId) == 0 || client->retrieveState() != 0)
        JX_THROW(fn, "Failed to init JXZrpJobClient object.");
    return client;
}
