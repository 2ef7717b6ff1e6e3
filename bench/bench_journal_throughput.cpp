// Sustained journal throughput head to tail, small records: a recorded raw
// journal (100 folders, then files created and written in 100-byte pieces)
// replayed through FlrJrnFileSource and FlrHeadJournal to a tail on
// loopback, timed from the service's start until the tail confirmed the
// last record. Beside it, in the same run:
//   decode     the raw codec alone (every record decoded, checked), the
//              ceiling no chain can pass;
//   to sink    the head service to a tail that only counts what arrives
//              (intake with its cache syncs, names, conversion, the link);
//   to tail    the same to a tail that applies every record and keeps its
//              numbers durable, the way a replica runs;
//   tail alone the tail's journal service fed the same records in the
//              network form directly (payloads of one head batch), with its
//              durability on: what the tail can take, head and link aside.
// Each is run several times; the median is reported. Target: "to tail"
// >= 100,000 records/s.
//
//   bench_journal_throughput [records] [runs] [records per batch]
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrHeadJournal.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/FlrRawJournal.h"
#include "FLR/FlrTailService.h"
#include "FLR/JxException.h"
#include "apply/FlrTailApplier.h"
#include "apply/FlrTailJournal.h"
#include "apply/FlrTailRoot.h"
#include "journal/FlrJrnFileSource.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetMessage.h"
#include "net/FlrNetTail.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kSecret[] = "journal throughput bench secret, thirty-two bytes or more";
constexpr int kFolders = 100;
constexpr int kWritesPerFile = 9;  // a create, then nine 100-byte writes
constexpr size_t kWriteBytes = 100;

fsf_fid fidOf(uint32_t n) {
    fsf_fid f = fsf_fid::fid0;
    f.bytes[0] = 0x42;
    f.bytes[18] = static_cast<uint8_t>(n >> 24);
    f.bytes[19] = static_cast<uint8_t>(n >> 16);
    f.bytes[20] = static_cast<uint8_t>(n >> 8);
    f.bytes[21] = static_cast<uint8_t>(n);
    return f;
}
const fsf_fid kRootFid = fidOf(1);

struct Work {
    std::string dir;
    explicit Work() {
        const char* base = std::getenv("TMPDIR");
        std::string t = std::string(base && *base ? base : "/tmp") + "/flrbench.XXXXXX";
        if (!::mkdtemp(t.data())) throw std::runtime_error("mkdtemp failed");
        dir = t;
    }
    ~Work() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string file(const std::string& n) const { return dir + "/" + n; }
};

// The recorded journal: `records` raw records in one file.
std::vector<uint8_t> makeJournal(size_t records) {
    std::vector<uint8_t> out;
    uint64_t seq = 0;
    const std::string payload(kWriteBytes, 'x');
    auto add = [&](FlrJrnCommand& c) {
        c.seq_num = ++seq;
        c.timestamp = 1700000000;
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(getRawCmdSize(&c)));
        encodeRawCmd(&c, out.data() + at);
    };
    std::vector<std::string> names;
    for (int d = 0; d < kFolders && seq < records; ++d) {
        names.push_back("d" + std::to_string(d));
        FlrJrnCommand c{};
        c.cmd = FLR_JRN_MKDIR;
        c.create.par_fid = kRootFid;
        c.create.fid = fidOf(100 + static_cast<uint32_t>(d));
        c.create.short_name = names.back().c_str();
        c.create.mode = 040755;
        add(c);
    }
    for (uint32_t file = 0; seq < records; ++file) {
        const std::string name = "f" + std::to_string(file);
        FlrJrnCommand c{};
        c.cmd = FLR_JRN_CREATE;
        c.create.par_fid = fidOf(100 + file % kFolders);
        c.create.fid = fidOf(1000 + file);
        c.create.short_name = name.c_str();
        c.create.mode = 0100644;
        add(c);
        for (int w = 0; w < kWritesPerFile && seq < records; ++w) {
            FlrJrnCommand wr{};
            wr.cmd = FLR_JRN_WRITE;
            wr.write.fid = fidOf(1000 + file);
            wr.write.offset = static_cast<uint64_t>(w) * kWriteBytes;
            wr.write.size = kWriteBytes;
            wr.write.data = payload.data();
            add(wr);
        }
    }
    return out;
}

// The same workload in the network form, records with destination paths,
// cut into payloads of `batch` records.
std::vector<std::string> makeNetPayloads(size_t records, int batch) {
    std::vector<std::string> payloads(1);
    const std::string data(kWriteBytes, 'x');
    uint64_t seq = 0;
    char* buf = nullptr;
    int cap = 0;
    auto add = [&](FlrJrnCommandNet& c) {
        c.seq_num = ++seq;
        c.timestamp = 1700000000;
        const int len = encodeNetCmd(&c, buf, cap);
        if (static_cast<int>(seq % static_cast<uint64_t>(batch)) == 1 && seq > 1)
            payloads.emplace_back();
        payloads.back().append(buf, static_cast<size_t>(len));
    };
    std::string path;
    for (int d = 0; d < kFolders && seq < records; ++d) {
        path = "d" + std::to_string(d);
        FlrJrnCommandNet c{};
        c.cmd = FLR_JRN_MKDIR;
        c.mkdir = {path.c_str(), 040755, 0, 0, {}, {}, 0};
        add(c);
    }
    for (uint32_t file = 0; seq < records; ++file) {
        path = "d" + std::to_string(file % kFolders) + "/f" + std::to_string(file);
        FlrJrnCommandNet c{};
        c.cmd = FLR_JRN_CREATE;
        c.create = {path.c_str(), 0100644, 0, 0, {}, {}, 0};
        add(c);
        for (int w = 0; w < kWritesPerFile && seq < records; ++w) {
            FlrJrnCommandNet wr{};
            wr.cmd = FLR_JRN_WRITE;
            wr.write = {path.c_str(), static_cast<uint64_t>(w) * kWriteBytes,
                        static_cast<uint32_t>(kWriteBytes), data.data()};
            add(wr);
        }
    }
    std::free(buf);
    return payloads;
}

// CPU seconds this process used so far (every thread, user and system).
double cpuSeconds() {
    struct rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The tail's journal service alone: records per second, its last sync
// included, and per CPU second in *perCpu (one thread: the load on the
// machine shrinks it less than the elapsed rate).
double tailAloneRate(const std::vector<std::string>& payloads, size_t records, double* perCpu) {
    Work w;
    std::filesystem::create_directory(w.file("root"));
    FlrTailRoot root(w.file("root"));
    FlrTailJournal journal(root, w.file("tail.state"), FlrTailJournal::Options{});
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    for (const std::string& p : payloads) journal.apply(p.data(), p.size(), 1);
    journal.sync();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    *perCpu = static_cast<double>(records) / (cpuSeconds() - cpu0);
    const FlrTailJournalStats t = journal.totals();
    if (t.applied != static_cast<long long>(records))
        std::fprintf(stderr, "tail alone: %lld of %zu applied\n", t.applied, records);
    return static_cast<double>(records) / s;
}

// Decodes every record of the journal; records per second.
double decodeRate(const std::vector<uint8_t>& j, size_t records) {
    const auto t0 = Clock::now();
    size_t n = 0;
    for (size_t off = 0; off < j.size();) {
        FlrJrnCommand c;
        FlrJrnHeader h{};
        decodeRawHdr(j.data() + off, j.size() - off, &h);
        if (decodeRawCmd(j.data() + off, j.size() - off, &c) != 0) break;
        off += h.rec_len;
        ++n;
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (n != records) std::fprintf(stderr, "decoded %zu of %zu records\n", n, records);
    return static_cast<double>(n) / s;
}

// A tail that counts records and answers what the head asks.
void countingSession(FlrTailSession& s, std::atomic<long long>* got) {
    FlrNetMessage m;
    unsigned long long last = 0;
    while (!s.stopping()) {
        const int rc = s.net.recvMessage(&m, 1);
        if (rc == -2) continue;
        if (rc == -1) return;
        if (m.type == FLR_NET_PING) s.net.pong();
        if (m.type == FLR_NET_GET_LAST_SEQNUM_REQ) s.net.sendLastSeqNum(last, 0);
        if (m.type != FLR_NET_JOURNAL) continue;
        const auto* p = static_cast<const uint8_t*>(m.journal.data);
        size_t left = static_cast<size_t>(m.journal.len);
        while (left > 0) {
            FlrJrnHeaderNet h{};
            decodeNetHdr(p, left, &h);
            if (h.rec_len == 0 || h.rec_len > left) break;
            last = h.seq_num;
            p += h.rec_len;
            left -= h.rec_len;
            ++*got;
        }
    }
}

// One replay of the journal file through a fresh head service into a fresh
// tail; records per second from start to the confirmed last record.
double chainRate(const std::string& journal, size_t records, bool apply, int batch) {
    Work w;
    std::atomic<long long> counted{0};
    std::unique_ptr<FlrTailApplier> applier;
    FlrTailService::Handler handler;
    std::filesystem::create_directory(w.file("root"));
    if (apply) {
        FlrTailApplier::Options o;
        o.journalState = w.file("tail.state");
        applier = std::make_unique<FlrTailApplier>(w.file("root"), o);
        handler = applier->handler();
    } else {
        handler = [&](FlrTailSession& s) { countingSession(s, &counted); };
    }
    FlrTailService service(handler);
    service.setSecret(kSecret);
    service.listen("127.0.0.1", "0");
    std::thread runner([&] { service.run(); });
    const int port = service.localPort();

    FlrHeadJournalOptions o;
    o.pairId = 1;
    o.source = "/src";
    o.destination = w.file("root");
    o.dbDir = w.file("db");
    o.stateDir = w.file("state");
    o.rootFid = kRootFid;
    o.batchRecords = batch;
    o.connect = [port](FlrNetHead& head) {
        head.getLink().setSecret(kSecret);
        head.connect("127.0.0.1", port, 0);
    };
    FlrJrnFileSource source(journal, "bench");
    const auto t0 = Clock::now();
    FlrHeadJournalCounters c;
    {
        FlrHeadJournal head(o);
        head.run(source, true);
        c = head.counters();
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    service.stop();
    runner.join();
    const long long arrived = apply ? applier->journal().totals().records : counted.load();
    if (c.sent != records || arrived != static_cast<long long>(records))
        std::fprintf(stderr, "sent %llu, arrived %lld of %zu records\n",
                     static_cast<unsigned long long>(c.sent), arrived, records);
    if (apply) {
        const FlrTailJournalStats t = applier->journal().totals();
        if (t.failed + t.refused > 0)
            std::fprintf(stderr, "tail: %lld failed, %lld refused\n", t.failed, t.refused);
    }
    return static_cast<double>(records) / s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const size_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    const int batch = argc > 3 ? std::atoi(argv[3]) : FlrHeadJournalOptions{}.batchRecords;
    if (records < 1000 || runs < 1 || batch < 1) {
        std::fprintf(stderr, "usage: %s [records >= 1000] [runs >= 1] [records per batch]\n",
                     argv[0]);
        return 2;
    }
    try {
        Work w;
        const std::vector<uint8_t> j = makeJournal(records);
        const std::string journal = w.file("journal.raw");
        {
            FILE* f = std::fopen(journal.c_str(), "wb");
            if (!f || std::fwrite(j.data(), 1, j.size(), f) != j.size() || std::fclose(f) != 0)
                throw std::runtime_error("cannot write " + journal);
        }
        std::printf(
            "journal: %zu records, %zu bytes (%d folders, files of 1 create + %d x %zu-byte "
            "writes)\n",
            records, j.size(), kFolders, kWritesPerFile, kWriteBytes);
        const std::vector<std::string> payloads = makeNetPayloads(records, batch);
        std::vector<double> dec, sink, tail, tailCpu, alone, aloneCpu;
        for (int r = 0; r < runs; ++r) {
            dec.push_back(decodeRate(j, records));
            double perCpu = 0;
            alone.push_back(tailAloneRate(payloads, records, &perCpu));
            aloneCpu.push_back(perCpu);
            sink.push_back(chainRate(journal, records, false, batch));
            const double cpu0 = cpuSeconds();
            tail.push_back(chainRate(journal, records, true, batch));
            // Head and tail share this process: records per CPU second of
            // both, which a loaded machine does not shrink the way it does
            // the elapsed rate.
            tailCpu.push_back(static_cast<double>(records) / (cpuSeconds() - cpu0));
            std::printf(
                "run %d: decode %.0f, tail alone %.0f (%.0f per CPU second), to sink %.0f, to "
                "tail %.0f records/s (%.0f per CPU second)\n",
                r + 1, dec.back(), alone.back(), aloneCpu.back(), sink.back(), tail.back(),
                tailCpu.back());
        }
        const double d = median(dec), a = median(alone), s = median(sink), t = median(tail);
        std::printf(
            "median records/s: decode %.0f, tail alone %.0f, to sink %.0f, to tail %.0f; "
            "to tail / decode = %.3f, to tail / to sink = %.2f; target to tail >= 100000: "
            "%s\n",
            d, a, s, t, t / d, t / s, t >= 100000 ? "met" : "missed");
    } catch (const JxException& e) {
        std::fprintf(stderr, "%s\n", e.getMessage().c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
