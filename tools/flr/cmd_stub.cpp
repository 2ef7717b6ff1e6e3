// flr stub ... and flr mounts: build and inspect HSM stub envelopes, and show
// the mount table the snapshot and HSM code see.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/QZHSMMntTab.h"
#include "FLR/QZHSMStubFile.h"
#include "FLR/platform/EvDebug.h"
#include "FLR/platform/JxException.h"
#include "FLR/platform/JxIO.h"

namespace {

// A stub file may hold bytes after its envelope; the envelope never exceeds this.
constexpr size_t kMaxEnvelope = 0xffff;

// Stub metadata comes from disk: show control characters and quotes escaped
// so that a crafted file cannot drive the terminal or break the JSON.
std::string printable(const std::string& s, bool json) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            if (json) out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, json ? "\\u%04x" : "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::vector<char> readStubFile(const std::string& path, long long& fileSize) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) JX_THROW_ERRNO("flr stub decode", "Failed to open " + path + " for reading", errno);
    struct stat st {};
    fileSize = fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    std::vector<char> data(kMaxEnvelope);
    const long n = jx::readUpTo(fd, data.data(), data.size());
    const int err = errno;
    ::close(fd);
    if (n < 0) JX_THROW_ERRNO("flr stub decode", "Failed to read " + path, err);
    data.resize(static_cast<size_t>(n));
    return data;
}

// Opens the envelope and, on failure, returns the decoder's own reason. The
// logger is held back meanwhile so that the reason is printed once, by us.
bool openEnvelope(const std::vector<char>& data, int& total, long long& value, std::string& meta,
                  std::string& reason) {
    std::vector<char> metaBuf(QZHSM_STUB_MAX_METADATA + 1);
    EvDebugCapture capture;
    const int level = EvDebug::getLevel();
    EvDebug::setLevel(-1);
    const bool ok = qzhsm_stub2meta(data.data(), static_cast<int>(data.size()), &total, &value,
                                    metaBuf.data(), static_cast<int>(metaBuf.size()), false);
    EvDebug::setLevel(level);
    if (ok) {
        meta = metaBuf.data();
        return true;
    }
    for (const EvLogLine& line : capture.lines())
        if (line.function == "qzhsm_stub2meta") reason = line.text;
    if (reason.empty()) reason = "not a valid stub envelope";
    return false;
}

void writeOutput(const std::string& path, const std::vector<char>& data) {
    if (path.empty() || path == "-") {
        jx::writeAll(STDOUT_FILENO, data.data(), data.size(), "standard output", "flr");
        return;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) JX_THROW_ERRNO("flr stub encode", "Failed to open " + path + " for writing", errno);
    try {
        jx::writeAll(fd, data.data(), data.size(), path.c_str(), "flr");
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) JX_THROW_ERRNO("flr stub encode", "Failed to write " + path, errno);
}

void addEncodeCommand(CLI::App& stub) {
    static std::string meta, output;
    static long long value = 0;
    auto* encode = stub.add_subcommand("encode", "Wrap a metadata text in a stub envelope");
    encode->add_option("META", meta, "Metadata text")->required();
    encode->add_option("--value", value, "Signed 64-bit value carried with the metadata");
    encode->add_option("-o,--output", output, "Write the envelope here (default: stdout)");
    encode->callback([] {
        const int size = qzhsm_meta2stub(meta.c_str(), value, nullptr, 0);
        std::vector<char> envelope(static_cast<size_t>(size));
        qzhsm_meta2stub(meta.c_str(), value, envelope.data(), size);
        writeOutput(output, envelope);
    });
}

struct StubIds {
    bool parsed = false;
    ReparseData data;
};

StubIds readIds(const std::string& meta) {
    StubIds ids;
    ids.parsed = ParseStubReparseData(meta, ids.data);
    return ids;
}

void printDecoded(int total, long long value, const std::string& meta, long long fileSize,
                  bool json) {
    const StubIds ids = readIds(meta);
    const bool hasGuid = ids.parsed && ids.data.kind == QZHSM_META_KIND_GUID;
    const std::string appGuid =
        ids.parsed && !ids.data.texts.empty() ? ids.data.texts.front() : std::string();
    const long long trailing = fileSize > total ? fileSize - total : 0;
    if (json) {
        std::printf("{\"totalLength\":%d,\"value\":%lld,\"metadata\":\"%s\"", total, value,
                    printable(meta, true).c_str());
        if (ids.parsed) std::printf(",\"appId\":%u", ids.data.appId);
        if (hasGuid) std::printf(",\"guid\":\"%s\"", printable(ids.data.guid, true).c_str());
        if (!appGuid.empty()) std::printf(",\"appGuid\":\"%s\"", printable(appGuid, true).c_str());
        std::printf(",\"trailingBytes\":%lld}\n", trailing);
        return;
    }
    std::printf("total length:  %d\n", total);
    std::printf("value:         %lld\n", value);
    std::printf("metadata:      %s\n", printable(meta, false).c_str());
    if (ids.parsed) std::printf("app id:        %u\n", ids.data.appId);
    if (hasGuid) std::printf("GUID:          %s\n", printable(ids.data.guid, false).c_str());
    if (!appGuid.empty()) std::printf("app GUID:      %s\n", printable(appGuid, false).c_str());
    if (trailing > 0) std::printf("trailing bytes: %lld (not part of the envelope)\n", trailing);
}

void addDecodeCommand(CLI::App& stub) {
    static std::string file;
    static bool json = false;
    auto* decode = stub.add_subcommand("decode", "Check a stub file and print what it carries");
    decode->add_option("FILE", file, "Stub file")->required();
    decode->add_flag("--json", json, "One JSON object instead of text");
    decode->callback([] {
        long long fileSize = 0;
        const std::vector<char> data = readStubFile(file, fileSize);
        int total = 0;
        long long value = 0;
        std::string meta, reason;
        if (!openEnvelope(data, total, value, meta, reason)) {
            std::fprintf(stderr, "flr: %s: bad stub envelope: %s\n", file.c_str(), reason.c_str());
            throw ExitCode{1};
        }
        printDecoded(total, value, meta, fileSize, json);
    });
}

// Relative paths are taken from the working directory; symbolic links are
// followed so that the file system that really holds the path is found.
std::string absolutePath(const std::string& path) {
    if (char* real = realpath(path.c_str(), nullptr)) {
        std::string out(real);
        free(real);
        return out;
    }
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        JX_THROW_ERRNO("flr mounts", "Failed to get working directory", errno);
    return std::string(cwd) + "/" + path;
}

void printMount(const QZHSMMntTab::Entry& e, bool json, bool first) {
    if (json) {
        std::printf(
            "%s{\"device\":\"%s\",\"mountPoint\":\"%s\",\"fsType\":\"%s\",\"readOnly\":%s,"
            "\"options\":\"%s\"}",
            first ? "" : ",", printable(e.device, true).c_str(),
            printable(e.mountPoint, true).c_str(), printable(e.fsType, true).c_str(),
            e.readOnly ? "true" : "false", printable(e.options, true).c_str());
        return;
    }
    std::printf("%-24s %-28s %-10s %s %s\n", printable(e.device, false).c_str(),
                printable(e.mountPoint, false).c_str(), printable(e.fsType, false).c_str(),
                e.readOnly ? "ro" : "rw", printable(e.options, false).c_str());
}

void addMountsCommand(CLI::App& app) {
    static std::string path, table;
    static bool json = false;
    auto* mounts =
        app.add_subcommand("mounts", "List the mount table, or the file system holding PATH");
    mounts->add_option("PATH", path, "Show only the entry of the file system holding this path");
    mounts->add_option("--table", table, "Read this mount-table file instead of the host's");
    mounts->add_flag("--json", json, "JSON output");
    mounts->callback([] {
        const QZHSMMntTab tab = table.empty() ? QZHSMMntTab() : QZHSMMntTab(table);
        if (!path.empty()) {
            const QZHSMMntTab::Entry* e = tab.find(absolutePath(path).c_str());
            printMount(*e, json, true);
            if (json) std::printf("\n");
            return;
        }
        if (json) std::printf("[");
        bool first = true;
        for (const QZHSMMntTab::Entry& e : tab) {
            printMount(e, json, first);
            first = false;
        }
        if (json) std::printf("]\n");
    });
}

}  // namespace

void addStubCommands(CLI::App& app) {
    auto* stub = app.add_subcommand("stub", "Build and inspect HSM stub envelopes");
    stub->require_subcommand(1);
    addEncodeCommand(*stub);
    addDecodeCommand(*stub);
    addMountsCommand(app);
}
