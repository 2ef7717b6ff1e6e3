#pragma once
// Text read from disk or the host (stub metadata, mount entries) printed with
// control characters and quotes escaped, so that a crafted name cannot drive
// the terminal or break the JSON.
#include <cstdio>
#include <string>

#include "mgmt/JXZrpJobClient.h"

inline std::string printable(const std::string& s, bool json) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            if (json) out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, json ? "\\u%04x" : "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// A name or message as a quoted JSON string; bytes that are not UTF-8 (a
// file name may hold any) are escaped, so the output stays valid JSON.
inline std::string jsonString(const std::string& s) {
    return JXZrpJobClient::quoteJson(s);
}

// 1536 -> "1.5 KiB": sizes and rates for a person.
inline std::string humanBytes(double b) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (b >= 1024 && u < 4) {
        b /= 1024;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, u ? "%.1f %s" : "%.0f %s", b, units[u]);
    return text;
}
