// Collect files are read from disk: the text escaping must round-trip any
// bytes, the typed-line parser must refuse what does not fit and re-read what
// it accepts, and the reader must hand out only whole lines that fit, ending
// exactly at the end of the file, whatever the bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/EvDebug.h"
#include "scan/FlrCollectFile.h"
#include "scan/FlrCollectText.h"

namespace {

void checkEscaping(std::string_view input) {
    const std::string escaped = FlrCollectText::escape(input);
    if (escaped.find_first_of("\r\n") != std::string::npos) abort();
    if (FlrCollectText::unescape(escaped) != input) abort();
    if (FlrCollectText::unescape(input).size() > input.size()) abort();
}

void checkTypedLine(std::string_view input) {
    FlrCollectEntry e;
    if (!FlrCollectFile::parseTypedLine(input, &e)) return;
    if (std::strchr("FDL", e.type) == nullptr || e.path.empty()) abort();
    const std::string again = std::string(1, e.type) + " " + e.fid.toString() + " " + e.path;
    FlrCollectEntry f;
    if (!FlrCollectFile::parseTypedLine(again, &f)) abort();
    if (f.type != e.type || f.fid != e.fid || f.path != e.path) abort();
}

const std::string& scratchFile() {
    static const std::string path = "/tmp/fuzz_collect." + std::to_string(::getpid());
    return path;
}

// The first byte picks the caller's buffer size, the rest is the file.
void checkReader(const uint8_t* data, size_t size) {
    if (size == 0) return;
    const int bufSize = 2 + data[0] % 64;
    const int fd = ::open(scratchFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const bool written = ::write(fd, data + 1, size - 1) == static_cast<ssize_t>(size - 1);
    ::close(fd);
    if (!written) return;
    FlrCollectFile cf(scratchFile(), 0);
    char buf[66];
    while (cf.readLine(buf, bufSize))
        if (std::strlen(buf) > static_cast<size_t>(bufSize - 2)) abort();
    if (cf.getOffset() != static_cast<int64_t>(size - 1)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    EvDebug::setLevel(-1);  // refused lines are expected here; keep the output quiet
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    checkEscaping(input);
    checkTypedLine(input);
    checkReader(data, size);
    return 0;
}
