// flr journal watch: raw journal records as a folder changes, from the live
// source (fanotify, so root or CAP_SYS_ADMIN).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrRawJournal.h"
#include "FLR/JxException.h"
#include "journal/FlrLiveJournal.h"

namespace {

// A dump never holds more than the record's bytes twice (fids print as two
// hex digits per byte) plus the labels and numbers.
char* dumpBuffer(std::vector<char>& buf, size_t recLen) {
    const size_t need = 2 * recLen + 4096;
    if (buf.size() < need) buf.resize(need);
    return buf.data();
}

struct WatchOptions {
    std::string path;
    size_t count = 0;
    int idleMs = -1;
    uint32_t smallMax = 64 * 1024;
    int flushMs = 5000;
};

// Prints records as the file system changes, and the resyncs and resends
// the service would act on, until --count records or --idle-ms of quiet.
void watchJournal(const WatchOptions& o) {
    FlrLiveJournal::Options opt;
    opt.smallFileMax = o.smallMax;
    opt.flushDelayMs = o.flushMs;
    FlrLiveJournal live({{0, o.path}}, opt);
    std::vector<uint8_t> rec;
    std::vector<char> buf;
    size_t printed = 0;
    while ((o.count == 0 || printed < o.count) && live.next(rec, o.idleMs)) {
        FlrJrnCommand c;
        std::string why;
        if (decodeRawCmd(rec.data(), rec.size(), &c, &why) != 0)
            JX_THROW("journal watch", "Made a record that does not decode: " + why);
        char* text = dumpBuffer(buf, rec.size());
        printRawCmd(text, buf.size(), &c);
        std::printf("%s%s\n", printed++ ? "\n" : "", text);
        for (const auto& r : live.takeResyncs())
            std::printf("\nresync since %llu: %s\n", (unsigned long long)r.sinceSeq,
                        r.reason.c_str());
        for (const auto& r : live.takeResends())
            std::printf("\nresend %s (%llu bytes)\n", r.path.c_str(), (unsigned long long)r.size);
        std::fflush(stdout);
    }
}

}  // namespace

void addJournalWatchCommand(CLI::App& journal) {
    auto watch = std::make_shared<WatchOptions>();
    auto* w = journal.add_subcommand("watch", "Print records as a folder changes (needs root)");
    w->add_option("PATH", watch->path, "Folder to watch")->required();
    w->add_option("--count", watch->count, "Stop after this many records (0: never)");
    w->add_option("--idle-ms", watch->idleMs, "Stop after this long without a record");
    w->add_option("--small-max", watch->smallMax, "Largest file sent as WRITE records")
        ->capture_default_str();
    w->add_option("--flush-ms", watch->flushMs, "Flush a file kept open after this long")
        ->capture_default_str();
    w->callback([watch] { watchJournal(*watch); });
}
