#pragma once
// HSM stub files: the self-checking envelope that replaces the content of a
// file moved away by hierarchical storage, and readers of its metadata text.
//
// Envelope (big-endian, packed): signature (8), version (1), total length (2),
// caller's value (8), metadata length (2), metadata text + NUL, CRC-32 (4) of
// all preceding bytes (jx_crc32 register started at 0xffffffff).
#include <array>
#include <string>
#include <vector>

constexpr unsigned long long QZHSM_STUB_SIGNATURE = 0x4f535455420a0eafULL;
constexpr int QZHSM_STUB_VERSION = 1;
// Fixed bytes around the metadata text: 21 of header, its NUL, 4 of CRC.
constexpr int QZHSM_STUB_OVERHEAD = 26;
// The total length field has 16 bits.
constexpr int QZHSM_STUB_MAX_METADATA = 0xffff - QZHSM_STUB_OVERHEAD;
// Metadata kind code meaning that a GUID follows.
constexpr int QZHSM_META_KIND_GUID = 2;

// With a null buf: the envelope size for meta. Otherwise writes the envelope
// into buf and returns its size. Throws JxException when buf is too small or
// meta is null or too long for the 16-bit length fields.
int qzhsm_meta2stub(const char* meta, long long value, char* buf, int bufLen);

// Checks and opens an envelope of stubLen bytes (bytes after the envelope's
// total length are ignored). Every out-pointer may be null; metaBuf receives
// the text and its NUL. Never throws: a bad envelope answers false and, unless
// quiet, logs the reason at error level under "qzhsm_stub2meta".
bool qzhsm_stub2meta(const char* stub, int stubLen, int* totalLen, long long* value, char* metaBuf,
                     int metaBufLen, bool quiet);
// The same for a trusted caller whose buffer holds a whole envelope: its
// length is taken from the envelope's own total length field.
bool qzhsm_stub2meta(const char* stub, int* totalLen, long long* value, char* metaBuf,
                     int metaBufLen, bool quiet);

// The metadata text, parsed. Layout:
//   F1:F2:F3:F4:F5:kind:guidLength:GUID<sep>appId[|text[|text...]]
// F1-F4 and kind are int, F5 and the others as below; GUID is exactly
// guidLength characters (kind 2 says that it is a real GUID), <sep> is one
// character, appId is decimal and ends at "|" or at the end of the text.
struct ReparseData {
    std::array<int, 4> hsmFields{};  // F1-F4, the HSM service's own
    long long hsmValue = 0;          // F5
    int kind = 0;
    int guidLength = 0;
    std::string guid;  // the stub's GUID when kind is QZHSM_META_KIND_GUID
    unsigned int appId = 0;
    // The "|"-separated texts after appId; the first is the application's GUID.
    std::vector<std::string> texts;
};

// The metadata text of a stub; false (logged at level 2) when the envelope is bad.
bool GetStubReparseData(std::vector<char>& stub, std::string& text);
// GetStubReparseData, then ParseStubReparseData.
bool ParseStubData(std::vector<char>& stub, ReparseData& data);
// Parses a metadata text; false (logged at level 5) when it is malformed.
bool ParseStubReparseData(const std::string& text, ReparseData& data);
// The application identifier and the stub's GUID; false when the envelope is
// bad, the metadata has no GUID or the identifier is missing.
bool GetAppIdAndGUIDFromStubData(std::vector<char>& stub, unsigned int& appId, std::string& guid);
// The application's GUID (first text after the application identifier) and
// the stub's GUID; false unless both are present.
bool GetAppGUIDAndStubGUIDFromStubData(std::vector<char>& stub, std::string& appGuid,
                                       std::string& stubGuid);
