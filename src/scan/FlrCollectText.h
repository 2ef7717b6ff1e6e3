#pragma once
// The text form of paths in collect files. A line feed becomes "\x0a", a
// carriage return "\x0d" and a backslash "\\", so every entry is exactly one
// line; unescape reverses it. Only lower-case hex digits after "\x" are
// decoded: any other backslash sequence is kept as it stands, so text that
// was never escaped reads back unchanged.
#include <cstddef>
#include <string>
#include <string_view>

namespace FlrCollectText {

std::string escape(std::string_view path);
std::string unescape(std::string_view text);

// unescape over len bytes at text, in place (the result is never longer);
// returns the new length. For readers that keep one line buffer.
size_t unescapeInPlace(char* text, size_t len);

// Appends the escaped form to out (the writers reuse one buffer per scan).
void appendEscaped(std::string& out, std::string_view path);

}  // namespace FlrCollectText
