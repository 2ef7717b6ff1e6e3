// The Prometheus text of `--metrics`: escaping, HELP and TYPE before every
// family, no family twice, the figures where they belong; and the server
// answering /metrics, 404 elsewhere, 500 when the figures cannot be had.
#include "service/FlrMetrics.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "FLR/JxException.h"

namespace flrmetricstest {

// Checks the page's shape (HELP, then TYPE, then samples of that family
// only; no family twice) and returns each sample line's value by its
// "name{labels}" text.
std::map<std::string, std::string> parsePage(const std::string& page) {
    std::map<std::string, std::string> values;
    std::set<std::string> families;
    std::string family, help, line;
    std::istringstream in(page);
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            help = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_TRUE(families.insert(help).second) << "repeated: " << help;
        } else if (line.rfind("# TYPE ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_EQ(help, family) << "TYPE without its HELP: " << line;
            const std::string type = line.substr(line.rfind(' ') + 1);
            EXPECT_TRUE(type == "counter" || type == "gauge") << line;
            if (type == "counter") {
                EXPECT_EQ("_total", family.substr(family.size() - 6)) << line;
            }
        } else {
            const size_t space = line.rfind(' ');
            const std::string key = line.substr(0, space);
            EXPECT_EQ(family, key.substr(0, key.find('{'))) << "sample outside its family";
            values[key] = line.substr(space + 1);
        }
    }
    return values;
}

TEST(FlrMetricsText, EscapesLabelValuesAndHelpText) {
    const struct {
        std::string raw, label, help;
    } cases[] = {
        {"plain /src/dir", "plain /src/dir", "plain /src/dir"},
        {"a \"quoted\" name", "a \\\"quoted\\\" name", "a \"quoted\" name"},
        {"back\\slash", "back\\\\slash", "back\\\\slash"},
        {"two\nlines", "two\\nlines", "two\\nlines"},
        {"\\\"\n", "\\\\\\\"\\n", "\\\\\"\\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.label, FlrMetricsText::escapeLabel(c.raw)) << c.raw;
        EXPECT_EQ(c.help, FlrMetricsText::escapeHelp(c.raw)) << c.raw;
    }
    FlrMetricsText t;
    t.family("flr_x_info", "gauge", "Help\nwith \\ two lines")
        .sample(1ll, {{"path", "/a \"b\"\n"}, {"phase", "watching"}});
    EXPECT_EQ(
        "# HELP flr_x_info Help\\nwith \\\\ two lines\n# TYPE flr_x_info gauge\n"
        "flr_x_info{path=\"/a \\\"b\\\"\\n\",phase=\"watching\"} 1\n",
        t.text());
}

TEST(FlrMetricsText, ValuesAndMisuse) {
    FlrMetricsText t;
    t.counter("flr_big_total", "h", 18446744073709551615ull);
    t.gauge("flr_half", "h", 0.5).sample(1.0 / 0.0, {{"k", "inf"}});
    t.family("flr_neg", "gauge", "h").sample(-3ll);
    const auto v = parsePage(t.text());
    EXPECT_EQ("18446744073709551615", v.at("flr_big_total"));
    EXPECT_EQ("0.5", v.at("flr_half"));
    EXPECT_EQ("+Inf", v.at("flr_half{k=\"inf\"}"));
    EXPECT_EQ("-3", v.at("flr_neg"));

    EXPECT_THROW(t.counter("flr_big_total", "again", 1), std::logic_error);
    EXPECT_THROW(t.gauge("flr-dash", "h", 1), std::logic_error);
    EXPECT_THROW(t.gauge("9lives", "h", 1), std::logic_error);
    EXPECT_THROW(t.family("flr_l", "gauge", "h").sample(1ll, {{"bad-label", "x"}}),
                 std::logic_error);
    EXPECT_THROW(t.family("flr_r", "gauge", "h").sample(1ll, {{"__reserved", "x"}}),
                 std::logic_error);
    EXPECT_THROW(FlrMetricsText().sample(1ll), std::logic_error);
}

TEST(FlrMetricsFigures, WatchStateShowsUnderItsNames) {
    FlrWatchState s;
    s.source = "/src \"quoted\"";
    s.target = "host:1:/dst";
    s.phase = "watching";
    s.connected = true;
    s.startedAt = 1700000000;
    s.taken = 50;
    s.sent = 42;
    s.sentBytes = 4096;
    s.lagRecords = 8;
    s.lagSeconds = 1.25;
    s.reconnects = 2;
    s.privStripped = 3;
    s.privWithheld = 4;
    s.consistentAt = 1700000100;
    FlrMetricsText before;
    flrWatchMetrics(s, before);
    auto v = parsePage(before.text());
    EXPECT_EQ("1700000000", v.at("process_start_time_seconds"));
    EXPECT_EQ("42", v.at("flr_watch_records_sent_total"));
    EXPECT_EQ("4096", v.at("flr_watch_sent_bytes_total"));
    EXPECT_EQ("8", v.at("flr_watch_lag_records"));
    EXPECT_EQ("1.25", v.at("flr_watch_lag_seconds"));
    EXPECT_EQ("1", v.at("flr_watch_link_up"));
    EXPECT_EQ("2", v.at("flr_watch_reconnects_total"));
    EXPECT_EQ("3", v.at("flr_watch_privileged_stripped_total"));
    EXPECT_EQ("4", v.at("flr_watch_privileged_withheld_total"));
    EXPECT_EQ("1700000100", v.at("flr_watch_consistent_point_timestamp_seconds"));
    EXPECT_EQ("1", v.at("flr_watch_info{source=\"/src \\\"quoted\\\"\",target=\"host:1:/dst\","
                        "phase=\"watching\"}"));
    // No resync yet: no reason to show.
    EXPECT_EQ(0u, v.count("flr_watch_last_resync_info{reason=\"\"}"));

    s.resyncs = 1;
    s.lastResyncReason = "queue overflow";
    s.connected = false;
    FlrMetricsText after;
    flrWatchMetrics(s, after);
    v = parsePage(after.text());
    EXPECT_EQ("1", v.at("flr_watch_resyncs_total"));
    EXPECT_EQ("1", v.at("flr_watch_last_resync_info{reason=\"queue overflow\"}"));
    EXPECT_EQ("0", v.at("flr_watch_link_up"));
}

TEST(FlrMetricsFigures, TailFiguresOfEitherKindOfTail) {
    FlrTailFigures f;
    f.startedAt = 1700000000.5;
    f.connections = 3;
    f.service.sessions = 2;
    f.service.accepted = 5;
    f.service.recvBufferBytes = 262144;
    FlrMetricsText bookkeeping;
    f.received = FlrTailBookkeeper::Counts{7, 6, 1000, 0};
    flrTailMetrics(f, bookkeeping);
    auto v = parsePage(bookkeeping.text());
    EXPECT_EQ("1700000000.5", v.at("process_start_time_seconds"));
    EXPECT_EQ("3", v.at("flr_tail_connections_total"));
    EXPECT_EQ("5", v.at("flr_tail_accepted_connections_total"));
    EXPECT_EQ("262144", v.at("flr_tail_receive_buffer_bytes"));
    EXPECT_EQ("1000", v.at("flr_tail_received_bytes_total"));
    EXPECT_EQ(0u, v.count("flr_tail_journal_records_total"));

    f.received.reset();
    f.applied = FlrTailApplyStats{};
    f.applied->files = 9;
    f.applied->stripped = 1;
    f.journal = FlrTailJournalStats{};
    f.journal->records = 12;
    f.journal->applied = 10;
    f.journal->failed = 2;
    FlrMetricsText applying;
    flrTailMetrics(f, applying);
    v = parsePage(applying.text());
    EXPECT_EQ("9", v.at("flr_tail_entries_applied_total{kind=\"file\"}"));
    EXPECT_EQ("1", v.at("flr_tail_privileged_stripped_total"));
    EXPECT_EQ("12", v.at("flr_tail_journal_records_total"));
    EXPECT_EQ("10", v.at("flr_tail_journal_outcomes_total{outcome=\"applied\"}"));
    EXPECT_EQ("2", v.at("flr_tail_journal_outcomes_total{outcome=\"failed\"}"));
    EXPECT_EQ(0u, v.count("flr_tail_received_bytes_total"));
}

TEST(FlrMetricsFigures, AddressArgument) {
    const struct {
        const char* text;
        const char* host;  // null: refused
        const char* port;
    } cases[] = {
        {"9100", "127.0.0.1", "9100"},
        {"0", "127.0.0.1", "0"},
        {"0.0.0.0:9100", "0.0.0.0", "9100"},
        {"[::1]:9100", "::1", "9100"},
        {"70000", nullptr, nullptr},
        {"host:http", nullptr, nullptr},
        {"host:", nullptr, nullptr},
        {"", nullptr, nullptr},
        {"127.0.0.1:123456", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        if (!c.host) {
            EXPECT_THROW(flrMetricsEndpoint(c.text), std::invalid_argument) << c.text;
            continue;
        }
        const FlrEndpoint e = flrMetricsEndpoint(c.text);
        EXPECT_EQ(c.host, e.host) << c.text;
        EXPECT_EQ(c.port, e.port) << c.text;
    }
}

TEST(JxMetricsServer, ServesMetricsOnlyAndStopsCleanly) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "Debian's libcpp-httplib is not built for ThreadSanitizer: its threads "
                    "are invisible to it and the server's stop crashes under it";
#endif
    std::atomic<int> scrapes{0};
    std::atomic<bool> fail{false};
    auto server = flrServeMetrics("0", [&] {
        if (fail) throw std::runtime_error("figures gone");
        return "flr_scrapes_total " + std::to_string(++scrapes) + "\n";
    });
    ASSERT_GT(server->port(), 0);
    EXPECT_EQ("127.0.0.1:" + std::to_string(server->port()), server->address());
    httplib::Client client("127.0.0.1", server->port());
    for (int i = 1; i <= 2; ++i) {
        const auto res = client.Get("/metrics");
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(200, res->status);
        EXPECT_EQ("flr_scrapes_total " + std::to_string(i) + "\n", res->body);
        EXPECT_EQ(JxMetricsServer::kContentType, res->get_header_value("Content-Type"));
    }
    for (const char* other : {"/", "/metrics/x", "/favicon.ico"}) {
        const auto res = client.Get(other);
        ASSERT_TRUE(res);
        EXPECT_EQ(404, res->status) << other;
    }
    fail = true;
    const auto failed = client.Get("/metrics");
    ASSERT_TRUE(failed);
    EXPECT_EQ(500, failed->status);

    // The port is taken while it runs, free once it stopped.
    const std::string at = std::to_string(server->port());
    EXPECT_THROW(flrServeMetrics(at, [] { return std::string(); }), JxException);
    server->stop();
    server->stop();
    EXPECT_FALSE(httplib::Client("127.0.0.1", std::stoi(at)).Get("/metrics"));
    EXPECT_NO_THROW(flrServeMetrics(at, [] { return std::string(); }));
}

}  // namespace flrmetricstest
