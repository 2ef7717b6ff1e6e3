#include "FlrPair.h"

#include "FLR/JxException.h"
#include "FlrHelper.h"
#include "mgmt/MgmtConfig.h"

namespace {

// The registry-backed readers deliver nothing through callbacks; these
// satisfy their signature.
class IgnoreProps : public PropCallBack {
  public:
    int getPropertiesCallback(const std::string&, unsigned long, const std::string&,
                              unsigned long) override {
        return 0;
    }
};

class IgnoreContent : public ContentCallBack {
  public:
    int getContentCallback(const std::string&, int) override { return 0; }
    int getContentCallbackUpdate(const std::string&, int, bool) override { return 0; }
};

struct ClientNames {
    std::string shortName, host, mangled;
};

bool readClient(int clientId, ClientNames& out) {
    JXClient client(clientId);
    return client.getShortName(out.shortName) == 0 && client.getNetworkHostname(out.host) == 0 &&
           client.getNetworkHostnameMangled(out.mangled) == 0;
}

}  // namespace

FlrPair::FlrPair(int setId_, int pairId_) : pairId(pairId_), setId(setId_) {
    FileReplicationBackupSet set(setId);
    if (set.getBackupSetName(setName) != 0 || set.getClientIdForBackupSet(srcClientId) != 0 ||
        set.getDestinationHostId(&dstClientId, nullptr) != 0)
        JX_THROW("FlrPair", jxFormat("Failed to get replication options for set %d", setId));

    ClientNames src, dst;
    // Both failures name the source client, as the services' logs expect.
    if (!readClient(srcClientId, src) || !readClient(dstClientId, dst))
        JX_THROW("FlrPair", jxFormat("Failed to query name of client %d", srcClientId));
    srcName = src.shortName;
    srcHost = src.host;
    srcHostMangled = src.mangled;
    dstName = dst.shortName;
    dstHost = dst.host;
    dstHostMangled = dst.mangled;

    IgnoreProps props;
    IgnoreContent content;
    FileReplicationSubClient conf(pairId, &props, &content);
    if (conf.getsrcPath(&srcPath, nullptr) != 0 || conf.getdestPath(&dstPath, nullptr) != 0)
        JX_THROW("FlrPair",
                 jxFormat("Failed to get source or destination folder name for pair %d", pairId));
    srcPath = FlrHelper::stripTrailingSlashes(srcPath);
    dstPath = FlrHelper::stripTrailingSlashes(dstPath);
}
