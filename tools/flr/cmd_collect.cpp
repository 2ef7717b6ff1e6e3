// flr collect print: the entries of a collect file as the transfer reads them.
// Parsing and printing only: reading and decoding are FlrCollectFile's.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "Commands.h"
#include "Json.h"
#include "Printable.h"
#include "scan/FlrCollectFile.h"

namespace {

struct PrintOptions {
    std::string file;
    int64_t from = 0;
    bool json = false;
    bool offsets = false;
};

// A path-walk line is an absolute path; anything else must be a typed line of
// a file-id scan. False for a line that is neither.
bool decode(const std::string& line, FlrCollectEntry* entry, bool* typed) {
    *typed = !line.empty() && line[0] != '/';
    if (*typed) return FlrCollectFile::parseTypedLine(line, entry);
    entry->type = 'F';
    entry->fid = fsf_fid::fid0;
    entry->path = line;
    return !line.empty();
}

void printJson(int64_t offset, const FlrCollectEntry& e, bool typed) {
    Json j;
    j.beginObject()
        .field("offset", static_cast<long long>(offset))
        .field("type", std::string(1, e.type));
    if (typed) j.field("fid", e.fid.toString());
    j.field("path", e.path).endObject().printLine();
}

void printText(int64_t offset, const FlrCollectEntry& e, bool typed, bool offsets) {
    if (offsets) std::printf("%lld ", static_cast<long long>(offset));
    if (typed) std::printf("%c %s ", e.type, e.fid.toString().c_str());
    std::printf("%s\n", printable(e.path).c_str());
}

void runPrint(const PrintOptions& o) {
    FlrCollectFile cf(o.file, o.from);
    FlrCollectEntry entry;
    std::string line;
    uint64_t malformed = 0;
    for (int64_t offset = cf.getOffset(); cf.readLine(line); offset = cf.getOffset()) {
        bool typed = false;
        if (!decode(line, &entry, &typed)) {
            std::fflush(stdout);
            std::fprintf(stderr, "flr: %s: the line at offset %lld is not a collect entry\n",
                         o.file.c_str(), static_cast<long long>(offset));
            ++malformed;
            continue;
        }
        if (o.json)
            printJson(offset, entry, typed);
        else
            printText(offset, entry, typed, o.offsets);
    }
    // Refused lines were reported by the reader as it skipped them.
    if (malformed || cf.refusedLines()) throw ExitCode{1};
}

}  // namespace

void addCollectCommands(CLI::App& app) {
    auto* collect = app.add_subcommand("collect", "Inspect collect files");
    collect->require_subcommand(1);

    auto o = std::make_shared<PrintOptions>();
    auto* print = collect->add_subcommand(
        "print",
        "Print the entries of a collect file, unescaped; typed lines as type, file id and path "
        "(exit 1 if a line was skipped)");
    print->add_option("FILE", o->file, "Collect file")->required();
    print->add_option("--from", o->from, "Start at this byte offset (the start of a line)")
        ->check(CLI::NonNegativeNumber);
    print->add_flag("--json", o->json, "One JSON object per entry: offset, type, fid, path");
    print->add_flag("--offsets", o->offsets, "Start each line with the entry's byte offset");
    print->callback([o] { runPrint(*o); });
}
