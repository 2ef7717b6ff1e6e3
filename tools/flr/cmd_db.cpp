// flr db ...: look inside a pair's databases without changing them.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrFid.h"
#include "FLR/JxException.h"
#include "Json.h"
#include "db/FlrDatabase.h"
#include "db/FlrLBFSHashDB.h"
#include "db/FlrLBFSTreeDB.h"
#include "db/FlrWrDatabase.h"
#include "env/FlrHelper.h"

namespace {

constexpr uint64_t kUnscanned = 0xFFFFFFFFFFFFFFFFULL;

// Where a database lives: a directory given outright, or a pair's.
struct DbLocation {
    std::string dir;
    int pair = -1;

    std::string resolve() const {
        if (!dir.empty() && pair >= 0)
            throw CLI::ValidationError("DIR", "give a directory or --pair, not both");
        if (dir.empty() && pair < 0)
            throw CLI::ValidationError("DIR", "a database directory or --pair is required");
        return dir.empty() ? FlrHelper::getDatabaseDir(pair) : dir;
    }

    void addTo(CLI::App* cmd) {
        cmd->add_option("DIR", dir, "Directory holding the database files");
        cmd->add_option("--pair", pair, "Use the database directory of this pair (registry)");
    }
};

std::string seqText(uint64_t seq) {
    return seq == kUnscanned ? "unscanned" : std::to_string(seq);
}

// Opens the name database read-only; a missing one is an error, not created.
std::unique_ptr<FlrDatabase> openNameDb(const std::string& dir) {
    const std::string file = dir + "/zrpdb.dat";
    struct stat st;
    if (::stat(file.c_str(), &st) != 0)
        JX_THROW_ERRNO("flr db", "No name database in " + dir + " (" + file + ")", errno);
    return std::make_unique<FlrDatabase>(dir, JXIndexing::TAccessReadOnly);
}

// --- flr db tree -------------------------------------------------------------

struct TreePrinter {
    FlrDatabase& db;
    bool json;
    unsigned long printed = 0;
    std::list<fsf_fid> onPath;

    void line(const FlrDatabase::Child& c, const std::string& path, int depth) {
        ++printed;
        const bool dir = c.type == FLR_FTYPE_DIR;
        if (json) {
            Json j;
            j.beginObject().field("path", path).field("fid", c.fid.toString());
            j.field("type", dir ? "dir" : "file").key("seq");
            c.scan_seqnum == kUnscanned ? j.null() : j.value(c.scan_seqnum);
            j.endObject().printLine();
            return;
        }
        std::string name = c.name;
        if (dir && name != "/") name += "/";
        std::printf("%*s%s  %s  seq %s\n", 2 * depth, "", name.c_str(), c.fid.toString().c_str(),
                    seqText(c.scan_seqnum).c_str());
    }

    void walk(const FlrDatabase::Child& c, const std::string& path, int depth) {
        line(c, path, depth);
        for (const fsf_fid& f : onPath) {
            if (f != c.fid) continue;
            if (!json) std::printf("%*s(cycle: already printed above)\n", 2 * depth + 2, "");
            return;
        }
        onPath.push_back(c.fid);
        for (const FlrDatabase::Child& child : db.getChildList(c.fid)) {
            std::string childPath = path == "/" ? "/" + child.name : path + "/" + child.name;
            walk(child, childPath, depth + 1);
        }
        onPath.pop_back();
    }
};

void printTree(const std::string& dir, bool json) {
    auto db = openNameDb(dir);
    TreePrinter printer{*db, json, 0, {}};
    // Entries without a parent: the root ("/"), then directories that a scan
    // detached and nobody re-attached yet.
    std::list<FlrDatabase::Child> tops = db->getChildList(fsf_fid::fid0);
    for (const auto& top : tops)
        if (top.name == "/") printer.walk(top, "/", 0);
    const unsigned long inTree = printer.printed;
    for (const auto& top : tops) {
        if (top.name == "/") continue;
        if (!json) std::printf("(detached)\n");
        printer.walk(top, "(detached)/" + top.name, 1);
    }
    const unsigned long total = db->getRecordCount();
    if (!json)
        std::printf("%lu records: %lu in the tree, %lu detached, %lu unreachable\n", total, inTree,
                    printer.printed - inTree,
                    total > printer.printed ? total - printer.printed : 0);
}

void addTreeCommand(CLI::App& db) {
    static DbLocation where;
    static bool json = false;
    auto* cmd =
        db.add_subcommand("tree", "Print the file-id name database as a tree with file ids");
    where.addTo(cmd);
    cmd->add_flag("--json", json, "One JSON object per entry");
    cmd->callback([] { printTree(where.resolve(), json); });
}

// --- flr db path -------------------------------------------------------------

void printPath(const std::string& dir, const std::string& fidText, bool json) {
    const fsf_fid fid = str2fid(fidText);
    auto db = openNameDb(dir);
    uint64_t seq = 0;
    FLR_FTYPE type = FLR_FTYPE_FILE;
    const std::string path = db->fidToNodeName(fid, &seq, &type);
    if (path.empty()) {
        std::fprintf(stderr, "flr: FID %s is not in the name database in %s\n",
                     fid.toString().c_str(), dir.c_str());
        throw ExitCode{1};
    }
    if (!json) {
        std::printf("%s\n", path.c_str());
        return;
    }
    Json j;
    j.beginObject().field("fid", fid.toString()).field("path", path);
    j.field("type", type == FLR_FTYPE_DIR ? "dir" : "file").key("seq");
    seq == kUnscanned ? j.null() : j.value(seq);
    j.endObject().printLine();
}

void addPathCommand(CLI::App& db) {
    static std::vector<std::string> args;
    static int pair = -1;
    static bool json = false;
    auto* cmd = db.add_subcommand("path", "Print the path of a file id (exit 1 when unknown)");
    cmd->add_option("DIR FID", args,
                    "Database directory (unless --pair) and file id (48 hex digits)")
        ->required()
        ->expected(1, 2);
    cmd->add_option("--pair", pair, "Use the database directory of this pair (registry)");
    cmd->add_flag("--json", json, "Path, type and sequence number as one JSON object");
    cmd->callback([] {
        DbLocation where;
        where.pair = pair;
        if (args.size() == 2) where.dir = args[0];
        if (args.size() == 1 && pair < 0)
            throw CLI::ValidationError("DIR FID", "a database directory or --pair is required");
        printPath(where.resolve(), args.back(), json);
    });
}

}  // namespace

void addDbCommands(CLI::App& app) {
    auto* db = app.add_subcommand("db", "Inspect a pair's databases (read-only)");
    db->require_subcommand(1);
    addTreeCommand(*db);
    addPathCommand(*db);

    // --- flr db intervals, flr db lbfs ----------------------------------------
    // The write-interval and LBFS databases register their inspect commands
    // here, next to the name database's.

    // flr db intervals: every written range not yet acknowledged, by file.
    {
        static std::string dir;
        static int pair = -1;
        static bool json = false;
        auto* cmd = db->add_subcommand(
            "intervals", "Print the write-interval database: written ranges by file id");
        cmd->add_option("DIR", dir, "Directory holding the database files");
        cmd->add_option("--pair", pair, "Use the write-interval directory of this pair (registry)");
        cmd->add_flag("--json", json, "One JSON object per interval");
        cmd->callback([] {
            if (!dir.empty() && pair >= 0)
                throw CLI::ValidationError("DIR", "give a directory or --pair, not both");
            if (dir.empty() && pair < 0)
                throw CLI::ValidationError("DIR", "a database directory or --pair is required");
            const std::string where = dir.empty() ? FlrHelper::getWrDatabaseDir(pair) : dir;
            const std::string file = where + "/zrpwrdb.dat";
            struct stat st;
            if (::stat(file.c_str(), &st) != 0)
                JX_THROW_ERRNO("flr db",
                               "No write-interval database in " + where + " (" + file + ")", errno);
            FlrWrDatabase wr(where, JXIndexing::TAccessReadOnly);
            fsf_fid fid, previous = fsf_fid::fid0;
            uint64_t start = 0, end = 0, ackid = 0, bytes = 0;
            unsigned long intervals = 0, files = 0, unacked = 0;
            for (bool more = wr.getFirst(&fid, &start, &end, &ackid); more;
                 more = wr.getNext(&fid, &start, &end, &ackid, false)) {
                if (intervals == 0 || fid != previous) ++files;
                previous = fid;
                ++intervals;
                bytes += end - start;
                if (ackid == 0) ++unacked;
                if (json)
                    Json()
                        .beginObject()
                        .field("fid", fid.toString())
                        .field("start", start)
                        .field("end", end)
                        .field("ackid", ackid)
                        .endObject()
                        .printLine();
                else
                    std::printf(
                        "%s  [%lu-%lu)  %lu bytes  %s\n", fid.toString().c_str(), start, end,
                        end - start,
                        ackid ? ("ackid " + std::to_string(ackid)).c_str() : "unacknowledged");
            }
            if (!json)
                std::printf("%lu intervals in %lu files, %lu bytes, %lu unacknowledged\n",
                            intervals, files, bytes, unacked);
        });
    }

    // flr db lbfs: the content store's tree with each file's blocks and the
    // ranges waiting to be hashed again.
    {
        static std::string dir;
        static bool showBlocks = false, json = false;
        auto* cmd = db->add_subcommand(
            "lbfs", "Print the LBFS databases: files, blocks and changed ranges");
        cmd->add_option("DIR", dir, "Directory holding the LBFS databases (default: registry)");
        cmd->add_flag("--blocks", showBlocks, "List every block with its hash");
        cmd->add_flag("--json", json,
                      "One JSON object per entry (name, depth, fid, time, blocks, bytes, changed "
                      "ranges; with --blocks each block), then the totals");
        cmd->callback([] {
            const std::string where = dir.empty() ? FlrHelper::getLBFSDatabaseDir() : dir;
            auto existing = [&](const char* name) {
                struct stat st;
                return ::stat((where + "/" + name + ".dat").c_str(), &st) == 0;
            };
            auto check = [](const CQiError& err) {
                if (err.IsError()) JX_THROW("flr db", err.AsString());
            };
            const bool haveTree = existing("FlrLBFSTreeDB"), haveHash = existing("FlrLBFSHashDB");
            if (!haveTree && !haveHash)
                JX_THROW("flr db", "No LBFS database in " + where +
                                       " (FlrLBFSTreeDB.dat, FlrLBFSHashDB.dat)");
            FlrLBFSTreeDB tree;
            FlrLBFSHashDB hash;
            if (haveTree) check(tree.initialize(where, JXIndexing::TAccessReadOnly));
            if (haveHash) check(hash.initialize(where, JXIndexing::TAccessReadOnly));

            unsigned long files = 0, dirs = 0, blockCount = 0, changedBlocks = 0, ranges = 0;
            std::vector<JxLBFS::HashBlock> blocks;
            // The changed ranges of the file described last; kNone ends one at the end.
            std::vector<std::pair<uint64_t, uint64_t>> changedRanges;
            uint64_t fileBytes = 0;
            // Blocks, bytes and changed ranges (a range runs from a changed
            // block through the first unchanged one after it) of one file.
            auto describe = [&](uint64_t fid) {
                std::string text;
                blocks.clear();
                changedRanges.clear();
                fileBytes = 0;
                if (!haveHash) return text;
                check(hash.get(fid, &blocks));
                uint64_t bytes = 0, rangeStart = FlrLBFSHashDB::kNone;
                std::string changed;
                for (const JxLBFS::HashBlock& b : blocks) {
                    bytes += b.block.length;
                    const bool zero =
                        FlrLBFSHashDB::hashText(b.hash).find_first_not_of('0') == std::string::npos;
                    changedBlocks += zero;
                    if (zero && rangeStart == FlrLBFSHashDB::kNone) {
                        rangeStart = b.block.offset;
                    } else if (!zero && rangeStart != FlrLBFSHashDB::kNone) {
                        changed += " [" + std::to_string(rangeStart) + "-" +
                                   std::to_string(b.block.offset + b.block.length) + ")";
                        changedRanges.emplace_back(rangeStart, b.block.offset + b.block.length);
                        rangeStart = FlrLBFSHashDB::kNone;
                        ++ranges;
                    }
                }
                if (rangeStart != FlrLBFSHashDB::kNone) {
                    changed += " [" + std::to_string(rangeStart) + "-end)";
                    changedRanges.emplace_back(rangeStart, FlrLBFSHashDB::kNone);
                    ++ranges;
                }
                blockCount += blocks.size();
                fileBytes = bytes;
                text = "  blocks " + std::to_string(blocks.size()) + "  bytes " +
                       std::to_string(bytes);
                if (!changed.empty()) text += "  changed" + changed;
                return text;
            };
            // --json: an entry as one object; a directory has no blocks.
            auto entryJson = [&](const char* name, int depth, uint64_t fid, bool isDir,
                                 const uint32_t* time) {
                Json j;
                j.beginObject().field("name", name).field("depth", depth).field("fid", fid);
                j.field("dir", isDir);
                if (time) j.field("time", *time);
                if (!isDir && haveHash) {
                    j.field("blocks", blocks.size()).field("bytes", fileBytes);
                    j.key("changed").beginArray();
                    for (const auto& [from, to] : changedRanges) {
                        j.beginArray().value(from);
                        to == FlrLBFSHashDB::kNone ? j.null() : j.value(to);
                        j.endArray();
                    }
                    j.endArray();
                    if (showBlocks) {
                        j.key("block_list").beginArray();
                        for (const JxLBFS::HashBlock& b : blocks) {
                            j.beginObject().field("offset", b.block.offset);
                            j.field("length", b.block.length);
                            j.field("hash", FlrLBFSHashDB::hashText(b.hash)).endObject();
                        }
                        j.endArray();
                    }
                }
                j.endObject().printLine();
            };
            auto printBlocks = [&](int depth) {
                if (!showBlocks || json) return;
                for (const JxLBFS::HashBlock& b : blocks) {
                    std::string h = FlrLBFSHashDB::hashText(b.hash);
                    if (h.find_first_not_of('0') == std::string::npos) h = "changed";
                    std::printf("%*s@%lu  %u  %s\n", 2 * depth, "", b.block.offset, b.block.length,
                                h.c_str());
                }
            };

            std::vector<uint64_t> named;
            if (haveTree) {
                FlrLBFSTreeDB::Record root;
                check(tree.getRootRec(&root));
                if (json)
                    entryJson("/", 0, root.fid, true, nullptr);
                else
                    std::printf("/  fid %lu\n", root.fid);
                // Depth first; the stack holds (record, depth).
                std::vector<std::pair<FlrLBFSTreeDB::Record, int>> stack;
                std::vector<FlrLBFSTreeDB::Record> children;
                std::vector<uint64_t> seen{root.fid};
                check(tree.getChildren(root.fid, &children));
                for (auto it = children.rbegin(); it != children.rend(); ++it)
                    stack.emplace_back(*it, 1);
                while (!stack.empty()) {
                    auto [r, depth] = stack.back();
                    stack.pop_back();
                    if (std::find(seen.begin(), seen.end(), r.fid) != seen.end()) continue;
                    seen.push_back(r.fid);
                    if (r.isDir()) {
                        ++dirs;
                        if (json)
                            entryJson(r.sname, depth, r.fid, true, &r.time);
                        else
                            std::printf("%*s%s/  fid %lu  time %u\n", 2 * depth, "", r.sname, r.fid,
                                        r.time);
                        check(tree.getChildren(r.fid, &children));
                        for (auto it = children.rbegin(); it != children.rend(); ++it)
                            stack.emplace_back(*it, depth + 1);
                        continue;
                    }
                    ++files;
                    named.push_back(r.fid);
                    std::string text = describe(r.fid);
                    if (json)
                        entryJson(r.sname, depth, r.fid, false, &r.time);
                    else
                        std::printf("%*s%s  fid %lu  time %u%s\n", 2 * depth, "", r.sname, r.fid,
                                    r.time, text.c_str());
                    printBlocks(depth + 1);
                }
            }
            std::sort(named.begin(), named.end());
            unsigned long unnamed = 0;
            uint64_t fid = 0;
            if (haveHash) check(hash.getNextFile(0, &fid));
            for (; fid; check(hash.getNextFile(fid, &fid))) {
                if (std::binary_search(named.begin(), named.end(), fid)) continue;
                ++unnamed;
                std::string text = describe(fid);
                if (json)
                    entryJson("", 0, fid, false, nullptr);
                else
                    std::printf("(no name)  fid %lu%s\n", fid, text.c_str());
                printBlocks(1);
            }
            if (json) {
                Json()
                    .beginObject()
                    .field("files", files)
                    .field("directories", dirs)
                    .field("unnamed", unnamed)
                    .field("blocks", blockCount)
                    .field("changed_blocks", changedBlocks)
                    .field("changed_ranges", ranges)
                    .endObject()
                    .printLine();
                return;
            }
            std::printf(
                "%lu files, %lu directories, %lu without a name; %lu blocks, %lu changed, in %lu "
                "changed ranges\n",
                files, dirs, unnamed, blockCount, changedBlocks, ranges);
        });
    }
}
