// fanotify event buffers from untrusted bytes: the parser must refuse or
// accept without reading past the input, and what it accepts must keep the
// limits its users rely on (handle lengths, names without NUL).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/JxFanotify.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_fanotify: %s\n", what);
    std::abort();
}

void checkHandle(const JxFanHandle& h) {
    if (h.length > JxFanHandle::kMaxBytes) fail("handle longer than a kernel handle");
}

void checkName(const std::string& name) {
    if (name.find('\0') != std::string::npos) fail("name with a NUL inside");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so any read past the input is caught.
    std::vector<uint8_t> buf(data, data + size);
    std::vector<JxFanEvent> events;
    std::string why;
    const bool ok = JxFanotify::parse(buf.data(), buf.size(), events, &why);
    if (!ok && why.empty()) fail("refused without a reason");
    for (const auto& ev : events) {
        checkHandle(ev.object);
        checkHandle(ev.dir);
        checkHandle(ev.oldDir);
        checkHandle(ev.newDir);
        checkName(ev.name);
        checkName(ev.oldName);
        checkName(ev.newName);
    }
    return 0;
}
