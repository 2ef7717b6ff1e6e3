// flr stub ...: build and inspect HSM stub envelopes.
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
#include "FLR/JxException.h"
#include "Json.h"
#include "Printable.h"
#include "mgmt/qzhsm/QZHSMCommon/QZHSMMntTab.h"
#include "mgmt/qzhsm/QZHSMCommon/QZHSMStubFile.h"
#include "platform/EvDebug.h"
#include "platform/JxIO.h"

namespace {

// A stub file may hold bytes after its envelope; the envelope never exceeds this.
constexpr size_t kMaxEnvelope = 0xffff;

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
        Json j;
        j.beginObject().field("totalLength", total).field("value", value).field("metadata", meta);
        if (ids.parsed) j.field("appId", ids.data.appId);
        if (hasGuid) j.field("guid", ids.data.guid);
        if (!appGuid.empty()) j.field("appGuid", appGuid);
        j.field("trailingBytes", trailing).endObject().printLine();
        return;
    }
    std::printf("total length:  %d\n", total);
    std::printf("value:         %lld\n", value);
    std::printf("metadata:      %s\n", printable(meta).c_str());
    if (ids.parsed) std::printf("app id:        %u\n", ids.data.appId);
    if (hasGuid) std::printf("GUID:          %s\n", printable(ids.data.guid).c_str());
    if (!appGuid.empty()) std::printf("app GUID:      %s\n", printable(appGuid).c_str());
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

}  // namespace

void addStubCommands(CLI::App& app) {
    auto* stub = app.add_subcommand("stub", "Build and inspect HSM stub envelopes");
    stub->require_subcommand(1);
    addEncodeCommand(*stub);
    addDecodeCommand(*stub);
}
