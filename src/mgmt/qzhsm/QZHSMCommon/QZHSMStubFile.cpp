#include "QZHSMStubFile.h"

#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "FLR/JxException.h"
#include "digest/Jxc.h"
#include "platform/EvDebug.h"
#include "platform/JxCoding.h"

namespace {

// Field offsets of the envelope.
constexpr int kVersionOff = 8;
constexpr int kTotalOff = 9;
constexpr int kValueOff = 11;
constexpr int kMetaLenOff = 19;
constexpr int kMetaOff = 21;
constexpr int kCrcSize = 4;
constexpr uint32_t kStubCrcStart = 0xffffffffu;
// Metadata buffer of the readers; longer texts are refused as not fitting.
constexpr int kMetaBufLen = 1024;

bool refuseStub(bool quiet, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
bool refuseStub(bool quiet, const char* fmt, ...) {
    if (!quiet) {
        va_list ap;
        va_start(ap, fmt);
        EvDebug::log(EvDebug::kError, "qzhsm_stub2meta", fmt, ap);
        va_end(ap);
    }
    return false;
}

constexpr const char* kTooShort = "Stub data is too short (%d instead of at least %d)";

// Signature, version and total length, as far as stubLen bytes reach, then
// the input against the length it claims. Sets total on success.
bool checkFixedFields(const unsigned char* p, int stubLen, int& total, bool quiet) {
    if (stubLen >= kVersionOff) {
        const unsigned long long sig = jx::loadBE64(p);
        if (sig != QZHSM_STUB_SIGNATURE) {
            return refuseStub(quiet, "Invalid stub signature 0x%08llx (should have been 0x%08llx)",
                              sig, QZHSM_STUB_SIGNATURE);
        }
    }
    if (stubLen > kVersionOff && p[kVersionOff] != QZHSM_STUB_VERSION) {
        return refuseStub(quiet, "Invalid stub version %d (should have been %d)", p[kVersionOff],
                          QZHSM_STUB_VERSION);
    }
    if (stubLen >= kValueOff) {
        total = static_cast<int>(jx::loadBE16(p + kTotalOff));
        if (total < QZHSM_STUB_OVERHEAD)
            return refuseStub(quiet, kTooShort, total, QZHSM_STUB_OVERHEAD);
    }
    if (stubLen < QZHSM_STUB_OVERHEAD)
        return refuseStub(quiet, kTooShort, stubLen, QZHSM_STUB_OVERHEAD);
    if (total > stubLen) return refuseStub(quiet, kTooShort, stubLen, total);
    return true;
}

// The metadata length field must describe the same text as the total length,
// and the text must be exactly that long: one NUL, at its end.
bool checkMetadata(const char* stub, int total, char* metaBuf, int metaBufLen, bool quiet) {
    const auto* p = reinterpret_cast<const unsigned char*>(stub);
    const int metaLen = static_cast<int>(jx::loadBE16(p + kMetaLenOff));
    if (metaLen == 0 || metaLen != total - QZHSM_STUB_OVERHEAD ||
        (metaBuf && metaLen >= metaBufLen)) {
        return refuseStub(quiet, "Stub data contains invalid metadata length %d", metaLen);
    }
    const char* text = stub + kMetaOff;
    if (memchr(text, '\0', static_cast<size_t>(metaLen)) || text[metaLen] != '\0') {
        return refuseStub(quiet, "Stub metadata is not a text of %d characters ending in NUL",
                          metaLen);
    }
    return true;
}

int clampedSize(const std::vector<char>& v) {
    return v.size() > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(v.size());
}

// Reads the metadata text field by field; nothing past its end is ever looked at.
class MetaCursor {
  public:
    explicit MetaCursor(std::string_view text) : rest_(text) {}

    template <class T>
    bool number(T& out) {
        const char* end = rest_.data() + rest_.size();
        auto [ptr, ec] = std::from_chars(rest_.data(), end, out);
        if (ec != std::errc() || ptr == rest_.data()) return false;
        rest_.remove_prefix(static_cast<size_t>(ptr - rest_.data()));
        return true;
    }
    bool skip(char c) {
        if (rest_.empty() || rest_.front() != c) return false;
        rest_.remove_prefix(1);
        return true;
    }
    bool skipAny() {
        if (rest_.empty()) return false;
        rest_.remove_prefix(1);
        return true;
    }
    bool take(int n, std::string& out) {
        if (n < 0 || static_cast<size_t>(n) > rest_.size()) return false;
        out.assign(rest_.substr(0, static_cast<size_t>(n)));
        rest_.remove_prefix(static_cast<size_t>(n));
        return true;
    }
    bool atEnd() const { return rest_.empty(); }
    std::string_view rest() const { return rest_; }

  private:
    std::string_view rest_;
};

// F1:F2:F3:F4:F5:kind:guidLength
bool parseFields(MetaCursor& c, ReparseData& d) {
    for (int& f : d.hsmFields)
        if (!c.number(f) || !c.skip(':')) return false;
    return c.number(d.hsmValue) && c.skip(':') && c.number(d.kind) && c.skip(':') &&
           c.number(d.guidLength);
}

// ":" + exactly guidLength characters.
bool parseGuid(MetaCursor& c, ReparseData& d) {
    return c.skip(':') && c.take(d.guidLength, d.guid);
}

// One separator, then the decimal identifier up to "|" or the end.
bool parseAppId(MetaCursor& c, ReparseData& d) {
    return c.skipAny() && c.number(d.appId) && (c.atEnd() || c.rest().front() == '|');
}

void parseTexts(MetaCursor& c, ReparseData& d) {
    d.texts.clear();
    if (!c.skip('|')) return;
    std::string_view rest = c.rest();
    for (;;) {
        const size_t bar = rest.find('|');
        d.texts.emplace_back(rest.substr(0, bar));
        if (bar == std::string_view::npos) break;
        rest.remove_prefix(bar + 1);
    }
}

bool extractMetadata(std::vector<char>& stub, std::string& text, const char* function) {
    char meta[kMetaBufLen];
    if (!qzhsm_stub2meta(stub.data(), clampedSize(stub), nullptr, nullptr, meta, sizeof meta,
                         true)) {
        EvDebug::DebugLvl(function, 2, "Failed to extract metadata.");
        return false;
    }
    text = meta;
    return true;
}

// The metadata up to and including the GUID, for the two GUID readers.
bool parseThroughGuid(const std::string& text, MetaCursor& c, ReparseData& d,
                      const char* function) {
    if (!parseFields(c, d)) {
        EvDebug::DebugLvl(function, 2, "AppID not found in metadata.");
        return false;
    }
    if (d.kind != QZHSM_META_KIND_GUID) {
        EvDebug::DebugLvl(function, 2, "The supplied stub dose not have GUID in it.");
        return false;
    }
    if (!parseGuid(c, d)) {
        EvDebug::DebugLvl(function, 2, "Invalid GUID length %d in metadata '%s'.", d.guidLength,
                          text.c_str());
        return false;
    }
    return true;
}

}  // namespace

int qzhsm_meta2stub(const char* meta, long long value, char* buf, int bufLen) {
    if (!meta) JX_THROW("qzhsm_meta2stub", "Invalid NULL input passed.");
    const size_t metaLen = strlen(meta);
    // Past this the 16-bit length fields would wrap and describe another envelope.
    if (metaLen > static_cast<size_t>(QZHSM_STUB_MAX_METADATA)) {
        JX_THROW("qzhsm_meta2stub", jxFormat("Metadata is too long for stubfile data (%zu>%d).",
                                             metaLen, QZHSM_STUB_MAX_METADATA));
    }
    const int total = static_cast<int>(metaLen) + QZHSM_STUB_OVERHEAD;
    if (!buf) return total;
    if (total > bufLen) JX_THROW("qzhsm_meta2stub", "Buffer for stubfile data is too small.");
    auto* p = reinterpret_cast<unsigned char*>(buf);
    jx::storeBE64(p, QZHSM_STUB_SIGNATURE);
    p[kVersionOff] = QZHSM_STUB_VERSION;
    jx::storeBE16(p + kTotalOff, static_cast<uint16_t>(total));
    jx::storeBE64(p + kValueOff, static_cast<uint64_t>(value));
    jx::storeBE16(p + kMetaLenOff, static_cast<uint16_t>(metaLen));
    memcpy(p + kMetaOff, meta, metaLen + 1);
    const int crcOff = total - kCrcSize;
    jx::storeBE32(p + crcOff, jx_crc32(kStubCrcStart, p, static_cast<size_t>(crcOff)));
    return total;
}

bool qzhsm_stub2meta(const char* stub, int stubLen, int* totalLen, long long* value, char* metaBuf,
                     int metaBufLen, bool quiet) {
    if (!stub || stubLen <= 0) return refuseStub(quiet, "Invalid NULL input passed.");
    const auto* p = reinterpret_cast<const unsigned char*>(stub);
    int total = 0;
    if (!checkFixedFields(p, stubLen, total, quiet)) return false;
    if (metaBuf && total - QZHSM_STUB_OVERHEAD >= metaBufLen) {
        if (totalLen) *totalLen = total;
        return refuseStub(quiet, "Metadata will not fit into the incoming buffer (%d>%d)",
                          total - QZHSM_STUB_OVERHEAD + 1, metaBufLen);
    }
    const int crcOff = total - kCrcSize;
    const auto stored = jx::loadBE32(p + crcOff);
    const uint32_t computed = jx_crc32(kStubCrcStart, p, static_cast<size_t>(crcOff));
    if (computed != stored) {
        return refuseStub(quiet, "Stub data is corrupt: invalid CRC32 0x%08x instead of 0x%08x",
                          computed, stored);
    }
    if (!checkMetadata(stub, total, metaBuf, metaBufLen, quiet)) return false;
    if (metaBuf)
        memcpy(metaBuf, stub + kMetaOff, static_cast<size_t>(total - QZHSM_STUB_OVERHEAD + 1));
    if (totalLen) *totalLen = total;
    if (value) *value = static_cast<long long>(jx::loadBE64(p + kValueOff));
    return true;
}

bool qzhsm_stub2meta(const char* stub, int* totalLen, long long* value, char* metaBuf,
                     int metaBufLen, bool quiet) {
    if (!stub || !*stub) return refuseStub(quiet, "Invalid NULL input passed.");
    // Read no further than the fields seen so far vouch for: the signature and
    // version first, then the envelope's own total length.
    const auto* p = reinterpret_cast<const unsigned char*>(stub);
    int len = kVersionOff + 1;
    if (jx::loadBE64(p) == QZHSM_STUB_SIGNATURE && p[kVersionOff] == QZHSM_STUB_VERSION) {
        const int total = static_cast<int>(jx::loadBE16(p + kTotalOff));
        len = total < QZHSM_STUB_OVERHEAD ? kValueOff : total;
    }
    return qzhsm_stub2meta(stub, len, totalLen, value, metaBuf, metaBufLen, quiet);
}

bool GetStubReparseData(std::vector<char>& stub, std::string& text) {
    return extractMetadata(stub, text, "GetStubReparseData");
}

bool ParseStubData(std::vector<char>& stub, ReparseData& data) {
    std::string text;
    return GetStubReparseData(stub, text) && ParseStubReparseData(text, data);
}

bool ParseStubReparseData(const std::string& text, ReparseData& data) {
    ReparseData parsed;
    MetaCursor c(text);
    if (!parseFields(c, parsed) || !parseGuid(c, parsed) || !parseAppId(c, parsed)) {
        EvDebug::DebugLvl("ParseReparseData", 5, "Parsing '%s' failed", text.c_str());
        return false;
    }
    parseTexts(c, parsed);
    data = std::move(parsed);
    return true;
}

bool GetAppIdAndGUIDFromStubData(std::vector<char>& stub, unsigned int& appId, std::string& guid) {
    constexpr const char* kFunction = "getAppIdFromStubData";
    std::string text;
    if (!extractMetadata(stub, text, kFunction)) return false;
    EvDebug::DebugLvl(kFunction, 2, "Metadata passes id [%s].", text.c_str());
    ReparseData d;
    MetaCursor c(text);
    if (!parseThroughGuid(text, c, d, kFunction)) return false;
    if (!parseAppId(c, d)) {
        EvDebug::DebugLvl(kFunction, 2, "AppID not found in metadata.");
        return false;
    }
    appId = d.appId;
    guid = std::move(d.guid);
    return true;
}

bool GetAppGUIDAndStubGUIDFromStubData(std::vector<char>& stub, std::string& appGuid,
                                       std::string& stubGuid) {
    constexpr const char* kFunction = "GetAppGUIDAndStubGUIDFromStubData";
    std::string text;
    if (!extractMetadata(stub, text, kFunction)) return false;
    ReparseData d;
    MetaCursor c(text);
    if (!parseThroughGuid(text, c, d, kFunction)) return false;
    if (!parseAppId(c, d)) {
        EvDebug::DebugLvl(kFunction, 2, "AppID not found in metadata.");
        return false;
    }
    parseTexts(c, d);
    if (d.texts.empty() || d.texts.front().empty()) {
        EvDebug::DebugLvl(kFunction, 2, "Application GUID not found in metadata.");
        return false;
    }
    appGuid = std::move(d.texts.front());
    stubGuid = std::move(d.guid);
    return true;
}
