// Export files of the raw buffer and send history files from untrusted bytes:
// the decoders must refuse or accept without reading past the file, and an
// accepted file must write back the same: a current export file byte for
// byte, a history file as a history that loads back equal.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FLR/JxException.h"
#include "buffer/FlrRawBuffer.h"
#include "buffer/FlrSendHistory.h"
#include "platform/EvDebug.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_export_history: %s\n", what);
    std::abort();
}

const std::string& scratch(const char* name) {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/fuzz_export_history.XXXXXX";
        if (!::mkdtemp(tmpl)) fail("mkdtemp");
        return std::string(tmpl);
    }();
    static std::string paths[2];
    std::string& p = paths[name[0] == 'i' ? 0 : 1];
    p = dir + "/" + name;
    return p;
}

void put(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) fail("write input");
}

std::string get(const std::string& path) {
    std::string out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    EvDebug::setLevel(-1);
    const std::string in = scratch("in");
    const std::string out = scratch("out");
    put(in, data, size);
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    FlrRawBuffer rb(nullptr, 64 << 20);
    bool imported = false;
    try {
        rb.importFromFile(in.c_str());
        imported = true;
    } catch (const JxException&) {
    }
    const bool current =
        size >= 8 && std::equal(bytes.begin(), bytes.begin() + 8, FlrRawBuffer::kExportSignature);
    if (imported && current) {
        rb.exportToFile(out.c_str());
        if (get(out) != bytes) fail("an accepted export file does not write back the same");
    }

    FlrSendHistory h(1024);
    try {
        if (h.load(in.c_str())) {
            h.save(out.c_str());
            FlrSendHistory again(1024);
            if (!again.load(out.c_str()) || !(again == h))
                fail("an accepted history file does not load back the same after a save");
        }
    } catch (const JxException&) {
    }
    return 0;
}
