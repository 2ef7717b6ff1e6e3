// Raw journal records from untrusted bytes: the checked decoder must refuse
// or accept without reading past the input, and an accepted record must
// encode back to exactly the bytes it came from. Accepted records also go
// through the dump and the conversion to the network form, and the whole
// input is walked as a journal file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FLR/FlrJrnConvert.h"
#include "FLR/FlrJrnFile.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/FlrRawJournal.h"
#include "FLR/JxException.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_raw_journal: %s\n", what);
    std::abort();
}

std::vector<uint8_t> encode(const FlrJrnCommand& cmd) {
    const int size = getRawCmdSize(&cmd);
    if (size <= 0) fail("getRawCmdSize refused an accepted record");
    std::vector<uint8_t> out(static_cast<size_t>(size));
    if (encodeRawCmd(&cmd, out.data()) != 0) fail("encodeRawCmd failed");
    return out;
}

// Names every identifier by its hex text, so every record converts.
const char* pathOfAnyFid(const fsf_fid& fid) {
    static char path[4 + fsf_fid::kHexLen + 1] = "/f/";
    fid2hex(fid.bytes, path + 3);
    return path;
}

void checkDump(const FlrJrnCommand& cmd, size_t recLen) {
    char small[40];
    printRawCmd(small, sizeof small, &cmd);
    if (std::strlen(small) >= sizeof small) fail("dump overran a short buffer");
    std::vector<char> big(2 * recLen + 4096);
    printRawCmd(big.data(), big.size(), &cmd);
    if (std::strncmp(big.data(), "cmd.............. ", 18) != 0) fail("dump lost its first line");
}

void checkConversion(const FlrJrnCommand& cmd) {
    static FlrFidResolverFn resolver(pathOfAnyFid);
    static FlrJrnConverter converter(resolver);
    FlrJrnCommandNet net;
    const FlrJrnConvResult rc = converter.convert(cmd, net);
    if (rc == FlrJrnConvResult::NoNetForm) {
        if (cmd.cmd != FLR_JRN_TXTMSG && cmd.cmd != FLR_JRN_WRITE_DDR) fail("lost a network form");
        return;
    }
    if (rc != FlrJrnConvResult::Ok) fail("conversion failed");
    int size = 0;
    try {
        size = getNetCmdSize(&net);
    } catch (const JxException&) {
        return;  // paths made the record longer than rec_len can say: refused, fine
    }
    std::vector<uint8_t> wire(static_cast<size_t>(size));
    encodeNetCmd(&net, wire.data());
    FlrJrnCommandNet back;
    decodeNetCmd(wire.data(), wire.size(), &back);
    if (back.cmd != cmd.cmd || back.seq_num != cmd.seq_num) fail("network round trip");
}

// The whole input as a journal file: the reader steps record by record and
// either reaches the end exactly or names a bad record inside the input.
void checkFileWalk(const uint8_t* data, size_t size) {
    FlrJrnFileReader in(data, size, FlrJrnForm::Raw, "fuzz");
    FlrJrnCommand cmd;
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
    FlrJrnCommand cmd;
    std::string why;
    if (decodeRawCmd(data, size, &cmd, &why) != 0) {
        if (why.empty()) fail("refusal without a reason");
        return 0;
    }
    const size_t recLen = (size_t{data[1]} << 16) | (size_t{data[2]} << 8) | data[3];
    const std::vector<uint8_t> out = encode(cmd);
    if (out.size() != recLen) fail("size differs from rec_len");
    if (std::memcmp(out.data(), data, recLen) != 0) fail("decode -> encode changed the bytes");

    // Decoding the re-encoded record, checked and trusting, gives it back again.
    FlrJrnCommand again, trusted;
    if (decodeRawCmd(out.data(), out.size(), &again, &why) != 0) fail("re-encoded record refused");
    if (decodeRawCmd(out.data(), &trusted) != 0) fail("trusting decoder refused");
    if (encode(again) != out || encode(trusted) != out) fail("second round trip differs");

    checkDump(cmd, recLen);
    checkConversion(cmd);
    return 0;
}
