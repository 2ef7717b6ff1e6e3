// Stub envelopes and their metadata come from files on disk: the checked
// decoder and the metadata readers must refuse anything malformed without
// reading past the bytes given, and whatever decodes must re-encode to the
// same envelope.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mgmt/qzhsm/QZHSMCommon/QZHSMStubFile.h"

namespace {

void checkRoundTrip(const std::vector<char>& input) {
    std::vector<char> meta(QZHSM_STUB_MAX_METADATA + 1);
    int total = 0;
    long long value = 0;
    if (!qzhsm_stub2meta(input.data(), static_cast<int>(input.size()), &total, &value, meta.data(),
                         static_cast<int>(meta.size()), true))
        return;
    std::vector<char> again(static_cast<size_t>(total));
    const int written = qzhsm_meta2stub(meta.data(), value, again.data(), total);
    if (written != total || memcmp(again.data(), input.data(), static_cast<size_t>(total)) != 0)
        abort();
}

void readMetadata(std::vector<char>& input) {
    std::string text;
    if (GetStubReparseData(input, text)) {
        ReparseData d;
        ParseStubReparseData(text, d);
    }
    // The raw bytes as a metadata text too, so the parsers see shapes that no
    // valid envelope would carry.
    ReparseData raw;
    ParseStubReparseData(std::string(input.begin(), input.end()), raw);

    unsigned int appId = 0;
    std::string guid, appGuid, stubGuid;
    ReparseData parsed;
    GetAppIdAndGUIDFromStubData(input, appId, guid);
    GetAppGUIDAndStubGUIDFromStubData(input, appGuid, stubGuid);
    ParseStubData(input, parsed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the fuzzer's bytes, so that any over-read lands outside the allocation.
    std::vector<char> input(reinterpret_cast<const char*>(data),
                            reinterpret_cast<const char*>(data) + size);
    checkRoundTrip(input);
    readMetadata(input);
    return 0;
}
