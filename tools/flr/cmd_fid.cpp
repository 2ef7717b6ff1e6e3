// flr fid: the text and byte forms of file identifiers.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrFid.h"
#include "FLR/JxException.h"
#include "platform/JxIO.h"

namespace {

void checkFids(const std::vector<std::string>& texts) {
    int bad = 0;
    for (const std::string& text : texts) {
        try {
            std::printf("%s ok\n", str2fid(text).toString().c_str());
        } catch (const JxException& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "flr: %s\n", e.toString().c_str());
            ++bad;
        }
    }
    if (bad) throw ExitCode{1};
}

void fidToBytes(const std::string& text, const std::string& out) {
    const fsf_fid fid = str2fid(text);
    if (out.empty() || out == "-") {
        jx::writeAll(STDOUT_FILENO, fid.bytes, sizeof fid.bytes, "standard output", "cmd_fid");
        return;
    }
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) JX_THROW_ERRNO("fid to-bytes", "Failed to open " + out + " for writing", errno);
    try {
        jx::writeAll(fd, fid.bytes, sizeof fid.bytes, "fid file", "cmd_fid");
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
}

void fidFromBytes(const std::string& in, long long offset) {
    const char* fn = "fid from-bytes";
    if (offset < 0) JX_THROW(fn, "The offset must not be negative");
    const bool useStdin = in.empty() || in == "-";
    const int fd = useStdin ? STDIN_FILENO : ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) JX_THROW_ERRNO(fn, "Failed to open " + in + " for reading", errno);
    // Skip by reading, so pipes work as well as files.
    const std::string name = useStdin ? "standard input" : in;
    uint8_t chunk[65536];
    long long skipped = 0;
    long got = 0;
    while (skipped < offset) {
        const size_t want =
            static_cast<size_t>(std::min<long long>(offset - skipped, sizeof chunk));
        got = jx::readUpTo(fd, chunk, want);
        if (got <= 0) break;
        skipped += got;
    }
    uint8_t bytes[fsf_fid::kSize];
    if (got >= 0) got = skipped < offset ? 0 : jx::readUpTo(fd, bytes, sizeof bytes);
    const int err = errno;
    if (!useStdin) ::close(fd);
    if (got < 0) JX_THROW_ERRNO(fn, "Failed to read " + name, err);
    if (static_cast<size_t>(got) < sizeof bytes) {
        JX_THROW(fn, jxFormat("%s holds %ld bytes from offset %lld; a file identifier takes %zu",
                              name.c_str(), got, offset, fsf_fid::kSize));
    }
    char hex[fsf_fid::kHexLen + 1];
    std::printf("%s\n", fid2hex(bytes, hex));
}

}  // namespace

void addFidCommands(CLI::App& app) {
    auto* fid = app.add_subcommand("fid", "Text and byte forms of file identifiers");
    fid->require_subcommand(1);

    auto text = std::make_shared<std::string>();
    auto* n = fid->add_subcommand("normalize", "Print an identifier as 48 lower-case hex digits");
    n->add_option("HEX", *text, "48 hex digits, either case")->required();
    n->callback([text] { std::printf("%s\n", str2fid(*text).toString().c_str()); });

    auto texts = std::make_shared<std::vector<std::string>>();
    auto* c = fid->add_subcommand("check", "Check identifiers; exit 1 if any is invalid");
    c->add_option("HEX", *texts, "Identifiers to check")->required();
    c->callback([texts] { checkFids(*texts); });

    auto toBytes = std::make_shared<std::pair<std::string, std::string>>();
    auto* tb = fid->add_subcommand("to-bytes", "Write the 24 bytes of an identifier");
    tb->add_option("HEX", toBytes->first, "48 hex digits")->required();
    tb->add_option("-o,--out", toBytes->second, "File to write (default: standard output)");
    tb->callback([toBytes] { fidToBytes(toBytes->first, toBytes->second); });

    auto fromBytes = std::make_shared<std::pair<std::string, long long>>("-", 0);
    auto* fb = fid->add_subcommand("from-bytes", "Print 24 bytes of a file as an identifier");
    fb->add_option("FILE", fromBytes->first, "File to read (default: standard input)");
    fb->add_option("--offset", fromBytes->second, "Byte offset of the identifier")
        ->capture_default_str();
    fb->callback([fromBytes] { fidFromBytes(fromBytes->first, fromBytes->second); });
}
