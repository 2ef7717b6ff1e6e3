#pragma once
// Text read from disk or the host (stub metadata, mount entries) printed with
// control characters escaped, so that a crafted name cannot drive the
// terminal. JSON output is Json.h's.
#include <cstdio>
#include <string>

inline std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
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
