// flr journal: dump, generate, convert and count journal records.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrJrnConvert.h"
#include "FLR/FlrJrnSample.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/FlrRawJournal.h"
#include "FLR/platform/JxException.h"
#include "FLR/platform/JxIO.h"

namespace {

// A journal file mapped read-only; records are decoded in place.
class MappedFile {
  public:
    MappedFile(const std::string& path, const char* function) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) JX_THROW_ERRNO(function, "Failed to open " + path + " for reading", errno);
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            const int err = errno;
            ::close(fd);
            JX_THROW_ERRNO(function, "Failed to stat " + path, err);
        }
        size_ = static_cast<size_t>(st.st_size);
        if (size_ > 0) {
            void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
            if (p == MAP_FAILED) {
                const int err = errno;
                ::close(fd);
                JX_THROW_ERRNO(function, "Failed to map " + path, err);
            }
            data_ = static_cast<const uint8_t*>(p);
        }
        ::close(fd);
    }
    ~MappedFile() {
        if (data_) ::munmap(const_cast<uint8_t*>(data_), size_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

  private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Written to a temporary name and renamed into place on commit, so a failed
// run never leaves a half-written journal under the real name.
class OutputFile {
  public:
    OutputFile(std::string path, const char* function)
        : path_(std::move(path)), tmp_(path_ + ".tmp"), function_(function) {
        fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) JX_THROW_ERRNO(function_, "Failed to open " + tmp_ + " for writing", errno);
        buf_.reserve(kFlushAt + 65536);
    }
    ~OutputFile() {
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(tmp_.c_str());
        }
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const void* data, size_t len) {
        const auto* p = static_cast<const uint8_t*>(data);
        buf_.insert(buf_.end(), p, p + len);
        if (buf_.size() >= kFlushAt) flush();
    }
    void commit() {
        flush();
        if (::fsync(fd_) != 0) JX_THROW_ERRNO(function_, "Failed to sync " + tmp_, errno);
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) JX_THROW_ERRNO(function_, "Failed to close " + tmp_, errno);
        if (::rename(tmp_.c_str(), path_.c_str()) != 0) {
            const int err = errno;
            ::unlink(tmp_.c_str());
            JX_THROW_ERRNO(function_, "Failed to rename " + tmp_ + " to " + path_, err);
        }
    }

  private:
    static constexpr size_t kFlushAt = 1 << 20;
    void flush() {
        jx::writeAll(fd_, buf_.data(), buf_.size(), "journal file", "cmd_journal");
        buf_.clear();
    }

    std::string path_;
    std::string tmp_;
    const char* function_;
    int fd_ = -1;
    std::vector<uint8_t> buf_;
};

[[noreturn]] void badRecord(const char* function, size_t offset, const std::string& why) {
    JX_THROW(function, jxFormat("bad record at byte offset %zu: %s", offset, why.c_str()));
}

// Walks a file of raw records with the checked decoder; fn(cmd, offset, len).
template <class Fn>
void forEachRawRecord(const MappedFile& in, const char* function, Fn fn) {
    std::string why;
    FlrJrnCommand cmd;
    for (size_t off = 0; off < in.size();) {
        if (decodeRawCmd(in.data() + off, in.size() - off, &cmd, &why) != 0) {
            badRecord(function, off, why);
        }
        FlrJrnHeader hdr;
        decodeRawHdr(in.data() + off, &hdr);
        fn(cmd, off, hdr.rec_len);
        off += hdr.rec_len;
    }
}

template <class Fn>
void forEachNetRecord(const MappedFile& in, const char* function, Fn fn) {
    FlrJrnCommandNet cmd;
    for (size_t off = 0; off < in.size();) {
        try {
            decodeNetCmd(in.data() + off, in.size() - off, &cmd);
        } catch (const JxException& e) {
            badRecord(function, off, e.getMessage());
        }
        FlrJrnHeaderNet hdr;
        decodeNetHdr(in.data() + off, &hdr);
        fn(cmd, off, hdr.rec_len);
        off += hdr.rec_len;
    }
}

// A dump never holds more than the record's bytes twice (fids print as two
// hex digits per byte) plus the labels and numbers.
char* dumpBuffer(std::vector<char>& buf, uint32_t recLen) {
    const size_t need = 2 * size_t{recLen} + 4096;
    if (buf.size() < need) buf.resize(need);
    return buf.data();
}

void printJournal(const std::string& file, bool net) {
    const char* fn = "journal print";
    MappedFile in(file, fn);
    std::vector<char> buf;
    bool first = true;
    auto emit = [&](const char* text) {
        std::fputs(first ? "" : "\n", stdout);
        std::fputs(text, stdout);
        std::fputc('\n', stdout);
        first = false;
    };
    if (net) {
        forEachNetRecord(in, fn, [&](const FlrJrnCommandNet& c, size_t, uint32_t len) {
            char* text = dumpBuffer(buf, len);
            printNetCmd(text, buf.size(), &c);
            emit(text);
        });
    } else {
        forEachRawRecord(in, fn, [&](const FlrJrnCommand& c, size_t, uint32_t len) {
            char* text = dumpBuffer(buf, len);
            printRawCmd(text, buf.size(), &c);
            emit(text);
        });
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
    OutputFile out(o.out, "journal gen");
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
    MappedFile in(o.in, fn);
    OutputFile out(o.out, fn);
    FlrJrnConverter conv(paths);
    FlrJrnCommandNet net;
    char* wire = nullptr;
    int capacity = 0;
    // The growable buffer is the caller's to free, whatever happens.
    struct FreeOnExit {
        char*& p;
        ~FreeOnExit() { std::free(p); }
    } wireGuard{wire};
    size_t converted = 0, bytes = 0, skippedMsg = 0, skippedDdr = 0;
    forEachRawRecord(in, fn, [&](const FlrJrnCommand& c, size_t off, uint32_t) {
        switch (conv.convert(c, net)) {
            case FlrJrnConvResult::Ok: {
                const int n = encodeNetCmd(&net, wire, capacity);
                out.write(wire, static_cast<size_t>(n));
                ++converted;
                bytes += static_cast<size_t>(n);
                return;
            }
            case FlrJrnConvResult::NoNetForm:
                ++(c.cmd == FLR_JRN_TXTMSG ? skippedMsg : skippedDdr);
                return;
            default:
                JX_THROW(fn,
                         jxFormat("record at byte offset %zu (seq_num %llu): %s", off,
                                  static_cast<unsigned long long>(c.seq_num), conv.lastError()));
        }
    });
    out.commit();
    std::printf("converted %zu records (%zu bytes) to %s", converted, bytes, o.out.c_str());
    if (skippedMsg + skippedDdr > 0) {
        std::printf(
            "; skipped %zu without a network form (FLR_JRN_TXTMSG %zu, FLR_JRN_WRITE_DDR %zu)",
            skippedMsg + skippedDdr, skippedMsg, skippedDdr);
    }
    std::printf("\n");
}

struct StatsOptions {
    std::string file;
    bool net = false;
    bool json = false;
};

void journalStats(const StatsOptions& o) {
    const char* fn = "journal stats";
    MappedFile in(o.file, fn);
    std::array<size_t, FLR_JRN_MAX_CODE + 1> records{}, bytes{};
    auto count = [&](uint32_t code, uint32_t len) {
        ++records[code];
        bytes[code] += len;
    };
    if (o.net) {
        forEachNetRecord(
            in, fn, [&](const FlrJrnCommandNet& c, size_t, uint32_t len) { count(c.cmd, len); });
    } else {
        forEachRawRecord(in, fn,
                         [&](const FlrJrnCommand& c, size_t, uint32_t len) { count(c.cmd, len); });
    }
    size_t totalRecords = 0, totalBytes = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        totalRecords += records[i];
        totalBytes += bytes[i];
    }
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
