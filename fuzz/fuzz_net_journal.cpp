// Network journal records from untrusted bytes (what a tail reads off the
// link): the checked decoder must throw or accept without reading past the
// input, and an accepted record must encode back to exactly its bytes. The
// whole input is also walked as a journal file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FLR/FlrJrnFile.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/JxException.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_net_journal: %s\n", what);
    std::abort();
}

std::vector<uint8_t> encode(const FlrJrnCommandNet& cmd) {
    std::vector<uint8_t> out(static_cast<size_t>(getNetCmdSize(&cmd)));
    encodeNetCmd(&cmd, out.data());
    return out;
}

// The whole input as a journal file: the reader steps record by record and
// either reaches the end exactly or names a bad record inside the input.
void checkFileWalk(const uint8_t* data, size_t size) {
    FlrJrnFileReader in(data, size, FlrJrnForm::Net, "fuzz");
    FlrJrnCommandNet cmd;
    size_t end = 0;
    try {
        while (in.next(cmd)) {
            if (in.offset() != end || in.length() == 0) fail("file reader lost its place");
            end = in.offset() + in.length();
        }
        if (end != size) fail("file reader stopped before the end");
    } catch (const JxException& e) {
        if (e.getMessage().rfind("bad record at byte offset ", 0) != 0) fail("unclear file error");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    checkFileWalk(data, size);
    FlrJrnCommandNet cmd;
    try {
        decodeNetCmd(data, size, &cmd);
    } catch (const JxException& e) {
        if (e.getMessage().empty() || e.getSource() != "FlrNetJournal") fail("unclear refusal");
        return 0;
    }
    const size_t recLen = (size_t{data[1]} << 16) | (size_t{data[2]} << 8) | data[3];
    try {
        const std::vector<uint8_t> out = encode(cmd);
        if (out.size() != recLen) fail("size differs from rec_len");
        if (std::memcmp(out.data(), data, recLen) != 0) fail("decode -> encode changed the bytes");

        FlrJrnCommandNet again, trusted;
        decodeNetCmd(out.data(), out.size(), &again);
        decodeNetCmd(out.data(), &trusted);
        if (encode(again) != out || encode(trusted) != out) fail("second round trip differs");

        // The growable encoder gives the same bytes.
        char* grow = nullptr;
        int capacity = 0;
        const int n = encodeNetCmd(&cmd, grow, capacity);
        const bool same = n == static_cast<int>(recLen) && capacity % 1024 == 0 &&
                          std::memcmp(grow, data, recLen) == 0;
        std::free(grow);
        if (!same) fail("growable encoder differs");
    } catch (const JxException& e) {
        std::fprintf(stderr, "%s\n", e.what());
        fail("an accepted record could not be encoded again");
    }

    char small[40];
    printNetCmd(small, sizeof small, &cmd);
    if (std::strlen(small) >= sizeof small) fail("dump overran a short buffer");
    std::vector<char> big(2 * recLen + 4096);
    printNetCmd(big.data(), big.size(), &cmd);
    return 0;
}
