// The watcher's status file: "key value" lines, one per field, so a reader
// of another version skips what it does not know.
#include <cstdlib>
#include <map>
#include <sstream>

#include "FLR/FlrWatcher.h"

namespace {

// Field names and their members, in one table for writing and reading.
template <class Fn>
void forEachField(FlrWatchState& s, Fn fn) {
    fn("source", s.source);
    fn("target", s.target);
    fn("pid", s.pid);
    fn("started_at", s.startedAt);
    fn("updated_at", s.updatedAt);
    fn("phase", s.phase);
    fn("connected", s.connected);
    fn("taken", s.taken);
    fn("sent", s.sent);
    fn("sent_bytes", s.sentBytes);
    fn("reconnects", s.reconnects);
    fn("records_per_second", s.recordsPerSecond);
    fn("bytes_per_second", s.bytesPerSecond);
    fn("lag_records", s.lagRecords);
    fn("lag_seconds", s.lagSeconds);
    fn("resyncs", s.resyncs);
    fn("resent_files", s.resentFiles);
    fn("privileged_stripped", s.privStripped);
    fn("privileged_withheld", s.privWithheld);
    fn("last_resync_at", s.lastResyncAt);
    fn("last_resync_reason", s.lastResyncReason);
    fn("last_run_scan", s.lastRunScan);
    fn("last_run_at", s.lastRunAt);
    fn("last_run_files", s.lastRunFiles);
    fn("last_run_bytes", s.lastRunBytes);
    fn("last_run_seconds", s.lastRunSeconds);
    fn("consistent_at", s.consistentAt);
    fn("error", s.error);
}

// Values are single lines: a line break in a path or a reason becomes a blank.
std::string oneLine(std::string v) {
    for (char& c : v)
        if (c == '\n' || c == '\r') c = ' ';
    return v;
}

void put(std::ostringstream& out, const char* key, const std::string& v) {
    out << key << ' ' << oneLine(v) << '\n';
}
void put(std::ostringstream& out, const char* key, bool v) {
    out << key << ' ' << (v ? 1 : 0) << '\n';
}
template <class T>
void put(std::ostringstream& out, const char* key, T v) {
    out << key << ' ' << v << '\n';
}

void get(const std::string& text, std::string& v) {
    v = text;
}
void get(const std::string& text, bool& v) {
    v = text == "1";
}
void get(const std::string& text, double& v) {
    v = std::strtod(text.c_str(), nullptr);
}
template <class T>
void get(const std::string& text, T& v) {
    v = static_cast<T>(std::strtoll(text.c_str(), nullptr, 10));
}
void get(const std::string& text, uint64_t& v) {
    v = std::strtoull(text.c_str(), nullptr, 10);
}

}  // namespace

std::string flrWatchStateFile(const std::string& stateDir) {
    return stateDir + "/watch-status";
}

std::string flrFormatWatchState(const FlrWatchState& state) {
    FlrWatchState s = state;
    std::ostringstream out;
    out.precision(17);
    forEachField(s, [&](const char* key, auto& v) { put(out, key, v); });
    return out.str();
}

bool flrParseWatchState(const std::string& text, FlrWatchState* s) {
    std::map<std::string, std::string> fields;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        fields[line.substr(0, blank)] = line.substr(blank + 1);
    }
    if (!fields.count("pid") || !fields.count("phase")) return false;
    *s = FlrWatchState{};
    forEachField(*s, [&](const char* key, auto& v) {
        if (const auto it = fields.find(key); it != fields.end()) get(it->second, v);
    });
    return true;
}
