#pragma once
// One replication pair as the management configuration describes it, read
// whole in the constructor, and the callback objects the configuration
// readers require.
#include <string>

class PropCallBack {
  public:
    virtual ~PropCallBack() = default;
    // A property the reader delivers.
    virtual int getPropertiesCallback(const std::string& name, unsigned long id,
                                      const std::string& value, unsigned long type) = 0;
    // Updates are acknowledged and ignored.
    virtual int getPropertiesCallbackUpdate(const std::string&, unsigned long, const std::string&,
                                            unsigned long, bool) {
        return 0;
    }
};

// Passed along to the readers and never called.
class ContentCallBack {
  public:
    virtual ~ContentCallBack() = default;
    virtual int getContentCallback(const std::string& path, int type) = 0;
    virtual int getContentCallbackUpdate(const std::string& path, int type, bool last) = 0;
};

class FlrPair {
  public:
    // Every field filled, or JxException (function "FlrPair"): "Failed to
    // get replication options for set N", "Failed to query name of client
    // N", "Failed to get source or destination folder name for pair N".
    FlrPair(int setId, int pairId);

    int pairId;
    int setId;
    int srcClientId = 0;
    int dstClientId = 0;
    std::string srcName;
    std::string dstName;
    std::string srcHost;
    std::string dstHost;
    std::string srcHostMangled;
    std::string dstHostMangled;
    std::string srcPath;  // without trailing slashes ("/" stays)
    std::string dstPath;
    std::string setName;
};
