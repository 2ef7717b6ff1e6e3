#pragma once
// Alerts about a replication pair for the management server, appended to the
// outbox (JXZrpJobClient::outboxPath()) as one JSON line with one write() on
// an O_APPEND descriptor:
//   {"kind":"alert","type":25,"subtype":48,"flags":0,"time":"...","pair":7,
//    "set":3,"srcHost":"...","dstHost":"...","srcPath":"...","dstPath":"...",
//    "message":"..."}
#include <string>

#include "JXZrpJobClient.h"

class EvAlertEx {
  public:
    long pairId = 0;
    long setId = 0;
    int srcClientId = 0;
    std::string srcHost;
    std::string dstHost;
    std::string srcPath;
    std::string dstPath;
    std::string message;

    // 0, or -1 with errno when the line could not be written whole.
    int sendAlert(int type, int subtype, int flags) const;
    std::string toJson(int type, int subtype, int flags) const;
};
