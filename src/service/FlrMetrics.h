#pragma once
// The figures a running watch or tail shows to Prometheus (`--metrics`), in
// the text exposition format (version 0.0.4): every family with its HELP and
// TYPE lines, names prefixed flr_, counters ending in _total, seconds and
// bytes as base units. The figures are copies of the services' own counters,
// taken under their locks at each scrape: nothing is counted per record for
// this.
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "FLR/FlrEndpoint.h"
#include "FLR/FlrTailService.h"
#include "FLR/FlrWatcher.h"
#include "apply/FlrTailApplier.h"
#include "apply/FlrTailBookkeeper.h"
#include "apply/FlrTailJournal.h"
#include "mgmt/JxMetricsServer.h"

class FlrMetricsText {
  public:
    using Labels = std::vector<std::pair<std::string, std::string>>;

    // Starts a family: its HELP and TYPE lines ("counter" or "gauge").
    // Throws std::logic_error for a name that is no metric name or is
    // already used (Prometheus rejects a page repeating a family).
    FlrMetricsText& family(const std::string& name, const char* type, const std::string& help);
    // One sample of the family last started. Throws std::logic_error before
    // any family or for a label name that is no label name.
    FlrMetricsText& sample(double value, const Labels& labels = {});
    FlrMetricsText& sample(long long value, const Labels& labels = {});
    FlrMetricsText& sample(unsigned long long value, const Labels& labels = {});
    // A family of one unlabelled sample.
    FlrMetricsText& counter(const std::string& name, const std::string& help,
                            unsigned long long value);
    FlrMetricsText& gauge(const std::string& name, const std::string& help, double value);

    const std::string& text() const { return out_; }

    // Backslash, double quote and newline escaped, as a label value needs.
    static std::string escapeLabel(const std::string& value);
    // Backslash and newline escaped, as a HELP line needs.
    static std::string escapeHelp(const std::string& text);

  private:
    void open(const Labels& labels);
    std::string out_;
    std::string current_;
    std::set<std::string> names_;
};

// A watch's figures (FlrWatcher::state()), its process start time included.
void flrWatchMetrics(const FlrWatchState& s, FlrMetricsText& out);
// The figures of a group's pairs, each sample labelled pair="NAME".
void flrWatchGroupMetrics(const std::vector<std::pair<std::string, FlrWatchState>>& pairs,
                          double startedAt, FlrMetricsText& out);

// A tail's figures: its connections always; what the applier put in place
// and the journal records it applied with --root; what a bookkeeping tail
// received otherwise.
struct FlrTailFigures {
    double startedAt = 0;  // epoch seconds, the process's start
    long long connections = 0;
    FlrTailStats service;
    std::optional<FlrTailApplyStats> applied;
    std::optional<FlrTailJournalStats> journal;
    std::optional<FlrTailBookkeeper::Counts> received;
};
void flrTailMetrics(const FlrTailFigures& f, FlrMetricsText& out);

// A `--metrics` argument: "PORT" (on the loopback address), "ADDR:PORT" or
// "[V6ADDR]:PORT", the port a number up to 65535 (0 picks one). Throws
// std::invalid_argument with a message for people.
FlrEndpoint flrMetricsEndpoint(const std::string& text);
// Serves render's text on GET /metrics at a `--metrics` address until the
// server is destroyed. Throws std::invalid_argument for a bad address,
// JxException when it cannot be bound.
std::unique_ptr<JxMetricsServer> flrServeMetrics(const std::string& at,
                                                 JxMetricsServer::Render render);
