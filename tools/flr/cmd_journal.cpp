// flr journal: dump, generate, convert and count journal records.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrEndpoint.h"
#include "FLR/FlrHeadJournal.h"
#include "FLR/FlrJrnConvert.h"
#include "FLR/FlrJrnFile.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/FlrRawJournal.h"
#include "FLR/FlrReplicator.h"
#include "FLR/JxException.h"
#include "Json.h"
#include "db/FlrDatabase.h"
#include "journal/FlrJrnFileSource.h"
#include "journal/FlrJrnSample.h"

// In cmd_journal_watch.cpp.
void addJournalWatchCommand(CLI::App& journal);

namespace {

// A dump never holds more than the record's bytes twice (fids print as two
// hex digits per byte) plus the labels and numbers.
char* dumpBuffer(std::vector<char>& buf, uint32_t recLen) {
    const size_t need = 2 * size_t{recLen} + 4096;
    if (buf.size() < need) buf.resize(need);
    return buf.data();
}

void printJournal(const std::string& file, bool net) {
    FlrJrnFileReader in(file, net ? FlrJrnForm::Net : FlrJrnForm::Raw, "journal print");
    std::vector<char> buf;
    bool first = true;
    auto emit = [&](const char* text) {
        std::fputs(first ? "" : "\n", stdout);
        std::fputs(text, stdout);
        std::fputc('\n', stdout);
        first = false;
    };
    if (net) {
        FlrJrnCommandNet c;
        while (in.next(c)) {
            char* text = dumpBuffer(buf, in.length());
            printNetCmd(text, buf.size(), &c);
            emit(text);
        }
    } else {
        FlrJrnCommand c;
        while (in.next(c)) {
            char* text = dumpBuffer(buf, in.length());
            printRawCmd(text, buf.size(), &c);
            emit(text);
        }
    }
}

struct GenOptions {
    std::string out;
    size_t count = 100;
    uint64_t seed = 1;
    std::string map;
    bool benchMix = false;
};

void generateJournal(const GenOptions& o) {
    FlrJrnSample::Options opt;
    opt.seed = o.seed;
    opt.mix = o.benchMix ? FlrJrnSample::Mix::Bench : FlrJrnSample::Mix::Full;
    FlrJrnSample sample(opt);
    FlrJrnFileWriter out(o.out, "journal gen");
    std::vector<uint8_t> rec;
    size_t bytes = 0;
    for (size_t i = 0; i < o.count; ++i) {
        rec.clear();
        bytes += sample.appendNext(rec);
        out.write(rec.data(), rec.size());
    }
    out.commit();
    if (!o.map.empty()) sample.pathMap().save(o.map);
    std::printf("wrote %zu records (%zu bytes) to %s", o.count, bytes, o.out.c_str());
    if (!o.map.empty()) {
        std::printf("; %zu paths to %s", sample.pathMap().size(), o.map.c_str());
    }
    std::printf("\n");
}

struct ToNetOptions {
    std::string in;
    std::string out;
    std::string map;
};

void convertJournal(const ToNetOptions& o) {
    const char* fn = "journal to-net";
    FlrFidPathMap paths;
    paths.load(o.map);
    FlrJrnFileReader in(o.in, FlrJrnForm::Raw, fn);
    FlrJrnFileWriter out(o.out, fn);
    const FlrJrnFileConversion done = convertJournalFile(in, paths, out);
    out.commit();
    std::printf("converted %zu records (%zu bytes) to %s", done.converted, done.bytes,
                o.out.c_str());
    if (done.skippedMsg + done.skippedDdr > 0) {
        std::printf(
            "; %zu more are messages for the head alone and have no network form "
            "(FLR_JRN_TXTMSG %zu, FLR_JRN_WRITE_DDR %zu)",
            done.skippedMsg + done.skippedDdr, done.skippedMsg, done.skippedDdr);
    }
    std::printf("\n");
}

struct StatsOptions {
    std::string file;
    bool net = false;
    bool json = false;
};

void journalStats(const StatsOptions& o) {
    FlrJrnFileReader in(o.file, o.net ? FlrJrnForm::Net : FlrJrnForm::Raw, "journal stats");
    const FlrJrnFileStats st = countJournalFile(in);
    const auto& records = st.records;
    const auto& bytes = st.bytes;
    const size_t totalRecords = st.totalRecords(), totalBytes = st.totalBytes();
    if (o.json) {
        Json j;
        j.beginObject().field("form", o.net ? "net" : "raw").field("records", totalRecords);
        j.field("bytes", totalBytes).key("commands").beginObject();
        for (uint32_t i = 0; i < records.size(); ++i) {
            if (!records[i]) continue;
            j.key(flrJrnCodeName(i)).beginObject().field("records", records[i]);
            j.field("bytes", bytes[i]).endObject();
        }
        j.endObject().endObject().printLine();
        return;
    }
    std::printf("%-24s %10s %14s\n", "command", "records", "bytes");
    for (uint32_t i = 0; i < records.size(); ++i) {
        if (!records[i]) continue;
        std::printf("%-24s %10zu %14zu\n", flrJrnCodeName(i), records[i], bytes[i]);
    }
    std::printf("%-24s %10zu %14zu\n", "total", totalRecords, totalBytes);
}

struct ReplayOptions {
    std::string file;
    std::string target;
    std::string source = "/srv/flr/src";
    std::string map;
    std::string state;
    int pair = 1;
};

// Seeds the name database with a fid->path table: every entry below the
// source, parents before children, folders being the entries that hold others.
// Returns the source folder's id: the table's, else `root`.
fsf_fid seedDatabase(const std::string& dbDir, const std::string& mapFile,
                     const std::string& source, fsf_fid root) {
    FlrFidPathMap paths;
    paths.load(mapFile);
    std::map<std::string, fsf_fid> byPath;
    const std::string text = paths.toText();
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t blank = line.find(' ');
        if (blank != std::string::npos)
            byPath[line.substr(blank + 1)] = str2fid(line.substr(0, blank));
    }
    if (const auto it = byPath.find(source); it != byPath.end()) root = it->second;
    byPath[source] = root;
    FlrDatabase db(dbDir);
    db.addRootNode(root);
    // Shorter paths first: a parent is entered before its children.
    std::vector<const std::pair<const std::string, fsf_fid>*> order;
    for (const auto& e : byPath)
        if (e.first.size() > source.size() && e.first.compare(0, source.size(), source) == 0 &&
            e.first[source.size()] == '/')
            order.push_back(&e);
    std::stable_sort(order.begin(), order.end(),
                     [](auto* a, auto* b) { return a->first.size() < b->first.size(); });
    for (const auto* e : order) {
        const size_t slash = e->first.rfind('/');
        const auto parent = byPath.find(e->first.substr(0, slash));
        if (parent == byPath.end()) continue;
        const auto next = byPath.upper_bound(e->first + "/");
        const bool dir = next != byPath.end() &&
                         next->first.compare(0, e->first.size() + 1, e->first + "/") == 0;
        db.addNode(parent->second, e->first.substr(slash + 1), e->second,
                   dir ? FLR_FTYPE_DIR : FLR_FTYPE_FILE, 0);
    }
    return root;
}

void replayJournal(const ReplayOptions& o) {
    const char* fn = "journal replay";
    std::string host, port, path;
    if (!FlrReplicator::parseRemote(o.target, &host, &port, &path))
        throw std::invalid_argument("The destination must be HOST:PORT:/path, not " + o.target);
    FlrJrnFileSource source(o.file, fn);
    // Without --state, a fresh folder for this replay only.
    std::string state = o.state;
    const bool temporary = state.empty();
    if (temporary) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "flr-replay-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            JX_THROW_ERRNO(fn, "Failed to create a state folder", errno);
        state = pattern;
    }
    struct Cleanup {
        std::string dir;
        ~Cleanup() {
            std::error_code ec;
            if (!dir.empty()) std::filesystem::remove_all(dir, ec);
        }
    } cleanup{temporary ? state : std::string()};

    FlrHeadJournalOptions h;
    h.pairId = o.pair;
    h.source = o.source;
    h.destination = path;
    h.dbDir = state + "/db";
    h.stateDir = state + "/journal";
    h.rootFid = fsf_fid::fid0;
    std::fill(std::begin(h.rootFid.bytes), std::end(h.rootFid.bytes), 0xFF);
    if (!o.map.empty()) h.rootFid = seedDatabase(h.dbDir, o.map, o.source, h.rootFid);
    const FlrEndpoint endpoint{host, port};
    h.connect = [endpoint](FlrNetHead& head) { flrConnectHead(head, endpoint); };
    FlrHeadJournal service(h);
    service.run(source, true);
    const FlrHeadJournalCounters c = service.counters();
    std::printf(
        "replayed %zu records to %s: %llu sent (%llu bytes), %llu outside the pair, %llu "
        "filtered, %llu without a network form; %llu resent, %llu reconnects\n",
        source.records(), o.target.c_str(), static_cast<unsigned long long>(c.sent),
        static_cast<unsigned long long>(c.sentBytes), static_cast<unsigned long long>(c.outside),
        static_cast<unsigned long long>(c.filtered), static_cast<unsigned long long>(c.noNetForm),
        static_cast<unsigned long long>(c.resentHistory + c.resentCache),
        static_cast<unsigned long long>(c.reconnects));
}

}  // namespace

void addJournalReplayCommand(CLI::App* journal) {
    auto replay = std::make_shared<ReplayOptions>();
    auto* r = journal->add_subcommand(
        "replay", "Send a recorded raw journal through the head journal service to a tail");
    r->add_option("FILE", replay->file, "Raw journal file")->required();
    r->add_option("DEST", replay->target, "HOST:PORT:/path of a running tail")->required();
    r->add_option("--source", replay->source, "The source folder the records' paths start from")
        ->capture_default_str();
    r->add_option("--map", replay->map, "fid->path table that names the files the journal finds");
    r->add_option("--pair", replay->pair, "Pair id told to the tail")->capture_default_str();
    r->add_option("--state", replay->state,
                  "State folder kept for a later resume (default: a temporary one)");
    r->callback([replay] { replayJournal(*replay); });
}

void addJournalCommands(CLI::App& app) {
    auto* journal =
        app.add_subcommand("journal", "Dump, generate, convert and count journal records");
    journal->require_subcommand(1);
    addJournalWatchCommand(*journal);

    auto print = std::make_shared<std::pair<std::string, bool>>();
    auto* p = journal->add_subcommand("print", "Dump every record of a journal file");
    p->add_option("FILE", print->first, "File of concatenated records")->required();
    p->add_flag("--net", print->second, "The file holds network records");
    p->callback([print] { printJournal(print->first, print->second); });

    auto gen = std::make_shared<GenOptions>();
    auto* g = journal->add_subcommand("gen", "Write a deterministic sample journal of raw records");
    g->add_option("OUT", gen->out, "Journal file to write")->required();
    g->add_option("--count", gen->count, "Number of records")->capture_default_str();
    g->add_option("--seed", gen->seed, "Seed of the generator")->capture_default_str();
    g->add_option("--map", gen->map, "Also write the fid->path table here");
    g->add_flag("--bench-mix", gen->benchMix,
                "Only WRITE (4 KiB), CREATE, RENAME, SETATTR and REMOVE");
    g->callback([gen] { generateJournal(*gen); });

    auto toNet = std::make_shared<ToNetOptions>();
    auto* t = journal->add_subcommand("to-net", "Convert raw records to the network form");
    t->add_option("IN", toNet->in, "Raw journal file")->required();
    t->add_option("OUT", toNet->out, "Network journal file to write")->required();
    t->add_option("--map", toNet->map, "fid->path table (\"<48 hex digits> <path>\" lines)")
        ->required();
    t->callback([toNet] { convertJournal(*toNet); });

    auto stats = std::make_shared<StatsOptions>();
    auto* s = journal->add_subcommand("stats", "Count records and bytes per command");
    s->add_option("FILE", stats->file, "File of concatenated records")->required();
    s->add_flag("--net", stats->net, "The file holds network records");
    s->add_flag("--json", stats->json, "Machine-readable output");
    s->callback([stats] { journalStats(*stats); });

    addJournalReplayCommand(journal);
}
