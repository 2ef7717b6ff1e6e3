// flr cache ls|verify|dump: what a rolling-cache directory holds, whether
// every file is sound, and the entries themselves.
// Parsing and printing only: the checks are FlrRolCacheVerify's.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrRawJournal.h"
#include "FLR/JxException.h"
#include "Json.h"
#include "buffer/FlrRolCacheVerify.h"

namespace {

using Verify = FlrRolCacheVerify;
using Outcome = Verify::Outcome;
using FileCheck = Verify::FileCheck;

void fileJson(Json& j, const std::string& name, const FileCheck& fc) {
    j.beginObject().field("file", name).field("first", fc.first).field("last", fc.last);
    j.field("entries", fc.entries).field("bytes", fc.size);
    j.field("sound", fc.outcome == Outcome::kSound);
    if (fc.outcome != Outcome::kSound) j.field("note", Verify::noteOf(fc));
    j.endObject();
}

// --json: one object with the files, the stray names and the totals.
void runLs(const std::string& dir, bool json) {
    Verify w(dir);
    Json j;
    if (json)
        j.beginObject().key("files").beginArray();
    else
        std::printf("%-26s %20s %20s %9s %12s\n", "FILE", "FIRST", "LAST", "ENTRIES", "BYTES");
    uint64_t entries = 0;
    long long bytes = 0;
    bool bad = false;
    for (size_t i = 0; i < w.files().size(); ++i) {
        const FileCheck fc = w.check(i, {});
        bad = bad || fc.outcome == Outcome::kDamaged;
        entries += fc.entries;
        bytes += fc.size;
        if (json) {
            fileJson(j, w.files()[i].name, fc);
            continue;
        }
        std::printf("%-26s %20llu %20llu %9llu %12lld", w.files()[i].name.c_str(),
                    static_cast<unsigned long long>(fc.first),
                    static_cast<unsigned long long>(fc.last),
                    static_cast<unsigned long long>(fc.entries), fc.size);
        if (fc.outcome != Outcome::kSound) std::printf("  %s", Verify::noteOf(fc).c_str());
        std::printf("\n");
    }
    if (json) {
        j.endArray().field("strays", w.strays()).field("entries", entries).field("bytes", bytes);
        j.endObject().printLine();
    } else {
        for (const auto& s : w.strays()) std::printf("%-26s (not a cache file name)\n", s.c_str());
        std::printf("%zu files, %llu entries, %lld bytes\n", w.files().size(),
                    static_cast<unsigned long long>(entries), bytes);
    }
    if (bad) {
        std::fflush(stdout);
        std::fprintf(stderr, "flr: %s holds damaged files; see flr cache verify\n", dir.c_str());
        throw ExitCode{1};
    }
}

// --json: every file checked, sound or not, then the totals.
void runVerify(const std::string& dir, bool json) {
    Verify w(dir);
    Verify::Options opt;
    opt.journal = true;
    uint64_t entries = 0;
    int damaged = 0;
    Json j;
    if (json) j.beginObject().key("files").beginArray();
    for (size_t i = 0; i < w.files().size(); ++i) {
        const FileCheck fc = w.check(i, opt);
        entries += fc.entries;
        if (fc.outcome == Outcome::kDamaged) ++damaged;
        if (json) fileJson(j, w.files()[i].name, fc);
        if (json || fc.outcome == Outcome::kSound) continue;
        std::printf("%s/%s: %s\n", dir.c_str(), w.files()[i].name.c_str(),
                    Verify::noteOf(fc).c_str());
    }
    if (json) {
        j.endArray().field("strays", w.strays()).field("entries", entries);
        j.field("damaged", damaged).endObject().printLine();
        if (damaged) throw ExitCode{1};
        return;
    }
    for (const auto& s : w.strays())
        std::printf("%s/%s: not a cache file name; readers ignore it\n", dir.c_str(), s.c_str());
    std::printf("%zu files, %llu entries: %s\n", w.files().size(),
                static_cast<unsigned long long>(entries),
                damaged == 0 ? "sound" : jxFormat("%d damaged", damaged).c_str());
    if (damaged) throw ExitCode{1};
}

void printHex(const unsigned char* p, int len) {
    constexpr int kShown = 256;
    const int n = std::min(len, kShown);
    for (int row = 0; row < n; row += 16) {
        std::printf("  %04x ", row);
        for (int i = row; i < row + 16; ++i) {
            if (i < n)
                std::printf(" %02x", p[i]);
            else
                std::printf("   ");
        }
        std::printf("  |");
        for (int i = row; i < row + 16 && i < n; ++i)
            std::putchar(p[i] >= 0x20 && p[i] < 0x7f ? p[i] : '.');
        std::printf("|\n");
    }
    if (len > n) std::printf("  ... %d more bytes\n", len - n);
}

void runDump(const std::string& dir, uint64_t from, long long count) {
    Verify w(dir);
    // The last file starting at or below from; earlier files hold nothing wanted.
    size_t start = 0;
    for (size_t i = 0; i < w.files().size(); ++i)
        if (w.files()[i].seq <= from) start = i;
    if (start > 0) w.startAfter(w.files()[start].seq - 1);
    std::vector<char> text(65536);
    long long shown = 0;
    std::string why;
    for (size_t i = start; i < w.files().size() && (count < 0 || shown < count); ++i) {
        const std::string& name = w.files()[i].name;
        auto show = [&](uint64_t seq, long long off, const unsigned char* p, int len) {
            if (seq < from) return true;
            std::printf("entry %llu (%s, offset %lld, %d bytes)\n",
                        static_cast<unsigned long long>(seq), name.c_str(), off, len);
            FlrJrnCommand cmd{};
            why.clear();
            if (decodeRawCmd(p, static_cast<size_t>(len), &cmd, &why) == 0) {
                printRawCmd(text.data(), text.size(), &cmd);
                std::printf("%s\n", text.data());
            } else {
                std::printf("  (not a raw journal record: %s)\n", why.c_str());
                printHex(p, len);
            }
            return count < 0 || ++shown < count;
        };
        const FileCheck fc = w.check(i, {}, show);
        if (fc.outcome == Outcome::kSound) continue;
        std::fflush(stdout);
        std::fprintf(stderr, "flr: %s/%s: %s\n", dir.c_str(), name.c_str(),
                     Verify::noteOf(fc).c_str());
        if (fc.outcome == Outcome::kDamaged) throw ExitCode{1};
    }
}

}  // namespace

void addCacheCommands(CLI::App& app) {
    auto* cache = app.add_subcommand("cache", "Inspect a rolling-cache directory");
    cache->require_subcommand(1);
    static std::string dir;
    static uint64_t from = 0;
    static long long count = -1;
    static bool json = false;

    auto* ls = cache->add_subcommand("ls", "List the cache files: numbers, entries, bytes");
    ls->add_option("DIR", dir, "Cache directory")->required();
    ls->add_flag("--json", json, "One JSON object: the files, stray names and totals");
    ls->callback([] { runLs(dir, json); });

    auto* verify = cache->add_subcommand(
        "verify",
        "Check every cache file record by record; report the first damaged record of each "
        "file (exit 1 on damage)");
    verify->add_option("DIR", dir, "Cache directory")->required();
    verify->add_flag("--json", json, "One JSON object: each file's check and the totals");
    verify->callback([] { runVerify(dir, json); });

    auto* dump =
        cache->add_subcommand("dump", "Print entries, decoding those that are raw journal records");
    dump->add_option("DIR", dir, "Cache directory")->required();
    dump->add_option("--from", from, "First sequence number to show (default: the oldest)");
    dump->add_option("--count", count, "Number of entries to show (default: all)")
        ->check(CLI::PositiveNumber);
    dump->callback([] { runDump(dir, from, count); });
}
