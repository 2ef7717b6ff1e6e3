#pragma once
// Events for the management server. Each posted event is appended to the
// outbox (JXZrpJobClient::outboxPath()) as one JSON line with one write() on
// an O_APPEND descriptor, so an operator or a test reads exactly what would
// be sent:
//   {"kind":"event","id":"0x4c000027","level":"info","job":12,"flags":256,
//    "time":"2026-01-01T00:00:00Z","args":["/dev/vg/home"]}
#include <string>
#include <vector>

class EvEvent {
  public:
    enum Level { kInfo = 1, kMinor = 2, kMajor = 3, kCritical = 4 };
    static constexpr int kArgText = 11;

    EvEvent(unsigned id, Level level) : id_(id), level_(level) {}
    // Arguments in order; type 11 is a text (the only type kept).
    void addArg(int type, const std::string& value);
    // 0, or -1 with errno when the line could not be written whole.
    int post(unsigned long long jobId, unsigned flags);

    std::string toJson(unsigned long long jobId, unsigned flags) const;
    static const char* levelName(Level level);

  private:
    unsigned id_;
    Level level_;
    std::vector<std::string> args_;
};
