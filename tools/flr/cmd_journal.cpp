// flr journal: dump, generate, convert and count journal records.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrJrnConvert.h"
#include "FLR/FlrJrnFile.h"
#include "FLR/FlrJrnSample.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/FlrRawJournal.h"
#include "FLR/platform/JxException.h"

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
            "; skipped %zu without a network form (FLR_JRN_TXTMSG %zu, FLR_JRN_WRITE_DDR %zu)",
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
        std::printf("{\"form\":\"%s\",\"records\":%zu,\"bytes\":%zu,\"commands\":{",
                    o.net ? "net" : "raw", totalRecords, totalBytes);
        const char* sep = "";
        for (uint32_t i = 0; i < records.size(); ++i) {
            if (!records[i]) continue;
            std::printf("%s\"%s\":{\"records\":%zu,\"bytes\":%zu}", sep, flrJrnCodeName(i),
                        records[i], bytes[i]);
            sep = ",";
        }
        std::printf("}}\n");
        return;
    }
    std::printf("%-24s %10s %14s\n", "command", "records", "bytes");
    for (uint32_t i = 0; i < records.size(); ++i) {
        if (!records[i]) continue;
        std::printf("%-24s %10zu %14zu\n", flrJrnCodeName(i), records[i], bytes[i]);
    }
    std::printf("%-24s %10zu %14zu\n", "total", totalRecords, totalBytes);
}

}  // namespace

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
}
