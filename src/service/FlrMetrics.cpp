#include "FlrMetrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string_view>

namespace {

bool isNameChar(char c, bool first, bool colonOk) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') return true;
    if (c == ':') return colonOk;
    return !first && c >= '0' && c <= '9';
}

bool isName(const std::string& name, bool colonOk) {
    if (name.empty()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (!isNameChar(name[i], i == 0, colonOk)) return false;
    return true;
}

// Go's ParseFloat reads these, which is what a scraper runs.
std::string formatDouble(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    // Whole numbers (counts, epoch seconds) as integers, not 1.7e+09.
    if (std::fabs(v) < 9007199254740992.0 && v == std::trunc(v))
        return std::to_string(static_cast<long long>(v));
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string escape(const std::string& text, bool quotes) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quotes)
            out += "\\\"";
        else
            out += c;
    }
    return out;
}

}  // namespace

std::string FlrMetricsText::escapeLabel(const std::string& value) {
    return escape(value, true);
}
std::string FlrMetricsText::escapeHelp(const std::string& text) {
    return escape(text, false);
}

FlrMetricsText& FlrMetricsText::family(const std::string& name, const char* type,
                                       const std::string& help) {
    if (!isName(name, true)) throw std::logic_error("not a metric name: \"" + name + "\"");
    if (!names_.insert(name).second) throw std::logic_error("metric repeated: " + name);
    current_ = name;
    out_ += "# HELP " + name + " " + escapeHelp(help) + "\n";
    out_ += "# TYPE " + name + " " + type + "\n";
    return *this;
}

void FlrMetricsText::open(const Labels& labels) {
    if (current_.empty()) throw std::logic_error("a metric sample before its family");
    out_ += current_;
    if (labels.empty()) {
        out_ += ' ';
        return;
    }
    char sep = '{';
    for (const auto& [name, value] : labels) {
        if (!isName(name, false) || name.rfind("__", 0) == 0)
            throw std::logic_error("not a label name: \"" + name + "\"");
        out_ += sep;
        out_ += name + "=\"" + escapeLabel(value) + "\"";
        sep = ',';
    }
    out_ += "} ";
}

FlrMetricsText& FlrMetricsText::sample(double value, const Labels& labels) {
    open(labels);
    out_ += formatDouble(value) + "\n";
    return *this;
}

FlrMetricsText& FlrMetricsText::sample(long long value, const Labels& labels) {
    open(labels);
    out_ += std::to_string(value) + "\n";
    return *this;
}

FlrMetricsText& FlrMetricsText::sample(unsigned long long value, const Labels& labels) {
    open(labels);
    out_ += std::to_string(value) + "\n";
    return *this;
}

FlrMetricsText& FlrMetricsText::counter(const std::string& name, const std::string& help,
                                        unsigned long long value) {
    return family(name, "counter", help).sample(value);
}

FlrMetricsText& FlrMetricsText::gauge(const std::string& name, const std::string& help,
                                      double value) {
    return family(name, "gauge", help).sample(value);
}

namespace {

using ull = unsigned long long;

ull count(long long v) {
    return v < 0 ? 0 : static_cast<ull>(v);
}

using Watched = std::vector<std::pair<std::string, FlrWatchState>>;

// One figure of a watch; counters are whole numbers.
struct WatchFigure {
    const char* name;
    const char* type;
    const char* help;
    double (*value)(const FlrWatchState&);
};

const WatchFigure kWatchFigures[] = {
    {"flr_watch_link_up", "gauge", "1 while connected to the tail",
     [](const FlrWatchState& s) { return s.connected ? 1.0 : 0.0; }},
    {"flr_watch_lag_records", "gauge", "Journal records taken but not yet acknowledged",
     [](const FlrWatchState& s) { return double(s.lagRecords); }},
    {"flr_watch_lag_seconds", "gauge", "Age of the oldest record the tail has not acknowledged",
     [](const FlrWatchState& s) { return s.lagSeconds; }},
    {"flr_watch_consistent_point_timestamp_seconds", "gauge",
     "Last moment up to which the destination durably holds every change (0: none yet)",
     [](const FlrWatchState& s) { return double(s.consistentAt); }},
    {"flr_watch_last_run_timestamp_seconds", "gauge",
     "When the last baseline or smart-sync run completed",
     [](const FlrWatchState& s) { return double(s.lastRunAt); }},
    {"flr_watch_last_run_duration_seconds", "gauge", "How long the last run took",
     [](const FlrWatchState& s) { return s.lastRunSeconds; }},
    {"flr_watch_records_taken_total", "counter", "Journal records taken from the live journal",
     [](const FlrWatchState& s) { return double(s.taken); }},
    {"flr_watch_records_sent_total", "counter",
     "Journal records sent to the tail (resent after reconnects included)",
     [](const FlrWatchState& s) { return double(s.sent); }},
    {"flr_watch_sent_bytes_total", "counter", "Bytes of journal records sent",
     [](const FlrWatchState& s) { return double(s.sentBytes); }},
    {"flr_watch_resent_files_total", "counter", "Large written files sent by the transfer",
     [](const FlrWatchState& s) { return double(s.resentFiles); }},
    {"flr_watch_reconnects_total", "counter", "Times the link to the tail was made again",
     [](const FlrWatchState& s) { return double(s.reconnects); }},
    {"flr_watch_privileged_stripped_total", "counter",
     "Entries the tail applied without their setuid/setgid bits",
     [](const FlrWatchState& s) { return double(s.privStripped); }},
    {"flr_watch_privileged_withheld_total", "counter", "Privileged entries the tail did not apply",
     [](const FlrWatchState& s) { return double(s.privWithheld); }},
    {"flr_watch_resyncs_total", "counter", "Smart-sync scans run because the journal lost events",
     [](const FlrWatchState& s) { return double(s.resyncs); }},
};

// The labels of a pair's samples: its name first, when it has one.
FlrMetricsText::Labels pairLabels(const std::string& pair, FlrMetricsText::Labels more = {}) {
    if (!pair.empty()) more.insert(more.begin(), {"pair", pair});
    return more;
}

void watchFigures(const Watched& watched, FlrMetricsText& out) {
    out.family("flr_watch_info", "gauge", "The watched pair and the watch's phase");
    for (const auto& [pair, s] : watched)
        out.sample(
            1ll,
            pairLabels(pair, {{"source", s.source}, {"target", s.target}, {"phase", s.phase}}));
    for (const WatchFigure& f : kWatchFigures) {
        out.family(f.name, f.type, f.help);
        const bool counter = std::string_view(f.type) == "counter";
        for (const auto& [pair, s] : watched) {
            if (counter)
                out.sample(static_cast<ull>(f.value(s)), pairLabels(pair));
            else
                out.sample(f.value(s), pairLabels(pair));
        }
    }
    const bool anyResync = std::any_of(watched.begin(), watched.end(),
                                       [](const auto& w) { return w.second.resyncs > 0; });
    if (!anyResync) return;
    out.family("flr_watch_last_resync_info", "gauge", "Why the last resync was run");
    for (const auto& [pair, s] : watched)
        if (s.resyncs > 0) out.sample(1ll, pairLabels(pair, {{"reason", s.lastResyncReason}}));
    out.family("flr_watch_last_resync_timestamp_seconds", "gauge", "When the last resync began");
    for (const auto& [pair, s] : watched)
        if (s.resyncs > 0) out.sample(static_cast<double>(s.lastResyncAt), pairLabels(pair));
}

void tailConnections(const FlrTailFigures& f, FlrMetricsText& out) {
    const FlrTailStats& t = f.service;
    out.gauge("flr_tail_sessions", "Live authenticated sessions", static_cast<double>(t.sessions));
    out.gauge("flr_tail_pending_connections", "Connections in their handshake",
              static_cast<double>(t.pending));
    out.counter("flr_tail_connections_total", "Sessions opened since the start",
                count(f.connections));
    out.counter("flr_tail_accepted_connections_total", "Connections accepted", count(t.accepted));
    out.counter("flr_tail_refused_connections_total",
                "Connections closed unread: not allowed, or no room", count(t.refused));
    out.counter("flr_tail_evicted_connections_total",
                "Unauthenticated connections cut to make room for newer ones", count(t.evicted));
    out.counter("flr_tail_failed_handshakes_total",
                "Handshakes that timed out, failed their proof or were malformed",
                count(t.failedHandshakes));
    out.counter("flr_tail_accept_errors_total", "Accept failures that made the tail back off",
                count(t.acceptErrors));
    out.gauge("flr_tail_receive_buffer_bytes", "Held by the live sessions' receive buffers",
              static_cast<double>(t.recvBufferBytes));
    out.counter("flr_tail_link_bytes_total", "Frame bytes sent and received by all sessions",
                count(t.wireBytes));
}

void tailApplied(const FlrTailApplyStats& a, FlrMetricsText& out) {
    out.family("flr_tail_entries_applied_total", "counter",
               "Transferred entries put in place (counted when their session ends)");
    for (const auto& [kind, n] : {std::pair{"file", a.files}, std::pair{"folder", a.dirs},
                                  std::pair{"symlink", a.links}, std::pair{"special", a.specials}})
        out.sample(count(n), {{"kind", kind}});
    out.counter("flr_tail_entries_deleted_total", "Entries removed by dirchange files",
                count(a.deleted));
    // The session tallies below take in the session's journal records too,
    // as the tail's own summary counts them.
    out.counter("flr_tail_entries_refused_total",
                "Entries and journal records the confinement refused (when their session ends)",
                count(a.refused));
    out.counter("flr_tail_entries_failed_total",
                "Entries and journal records that could not be applied (when their session ends)",
                count(a.failed));
    out.counter("flr_tail_privileged_stripped_total",
                "Entries applied without their setuid/setgid bits (when their session ends)",
                count(a.stripped));
    out.counter("flr_tail_privileged_withheld_total",
                "Privileged entries not applied (when their session ends)", count(a.withheld));
    out.counter("flr_tail_written_bytes_total", "Literal data bytes written", count(a.bytes));
    out.counter("flr_tail_reused_bytes_total", "Bytes taken from old copies (MD5, RSync)",
                count(a.reused));
}

void tailJournal(const FlrTailJournalStats& j, FlrMetricsText& out) {
    out.counter("flr_tail_journal_records_total", "Journal records received whole",
                count(j.records));
    out.family("flr_tail_journal_outcomes_total", "counter",
               "Journal records by what became of them");
    for (const auto& [outcome, n] :
         {std::pair{"applied", j.applied}, std::pair{"settled", j.settled},
          std::pair{"sequence_only", j.sequenceOnly}, std::pair{"skipped", j.skipped},
          std::pair{"refused", j.refused}, std::pair{"failed", j.failed}})
        out.sample(count(n), {{"outcome", outcome}});
    out.counter("flr_tail_journal_privileged_stripped_total",
                "Journal records applied without their setuid/setgid bits", count(j.stripped));
    out.counter("flr_tail_journal_privileged_withheld_total",
                "Journal records of privileged entries not applied", count(j.withheld));
    out.counter("flr_tail_journal_syncs_total", "Times the applied numbers were made durable",
                count(j.syncs));
}

}  // namespace

void flrWatchMetrics(const FlrWatchState& s, FlrMetricsText& out) {
    out.gauge("process_start_time_seconds", "Start time of the process since the Unix epoch",
              static_cast<double>(s.startedAt));
    watchFigures({{"", s}}, out);
}

void flrWatchGroupMetrics(const std::vector<std::pair<std::string, FlrWatchState>>& pairs,
                          double startedAt, FlrMetricsText& out) {
    out.gauge("process_start_time_seconds", "Start time of the process since the Unix epoch",
              startedAt);
    watchFigures(pairs, out);
}

void flrTailMetrics(const FlrTailFigures& f, FlrMetricsText& out) {
    out.gauge("process_start_time_seconds", "Start time of the process since the Unix epoch",
              f.startedAt);
    tailConnections(f, out);
    if (f.applied) tailApplied(*f.applied, out);
    if (f.journal) tailJournal(*f.journal, out);
    if (f.received) {
        out.counter("flr_tail_received_messages_total", "Messages a bookkeeping tail received",
                    count(f.received->messages));
        out.counter("flr_tail_received_records_total", "Journal records it received",
                    count(f.received->entries));
        out.counter("flr_tail_received_bytes_total", "Journal, data and ACL payload bytes",
                    count(f.received->bytes));
    }
}

FlrEndpoint flrMetricsEndpoint(const std::string& text) {
    const bool portOnly =
        !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    FlrEndpoint e = portOnly ? FlrEndpoint{"127.0.0.1", text} : flrParseEndpoint(text);
    const bool digits = !e.port.empty() && e.port.size() <= 5 &&
                        e.port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(e.port) > 65535)
        throw std::invalid_argument(
            "expected PORT or ADDR:PORT with a port number up to 65535, "
            "got \"" +
            text + "\"");
    return e;
}

std::unique_ptr<JxMetricsServer> flrServeMetrics(const std::string& at,
                                                 JxMetricsServer::Render render) {
    const FlrEndpoint e = flrMetricsEndpoint(at);
    auto server = std::make_unique<JxMetricsServer>(std::move(render));
    server->start(e.host, std::stoi(e.port));
    return server;
}
