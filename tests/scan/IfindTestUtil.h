#pragma once
// Trees and output readers shared by the scanner's suites.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "scan/FlrCollectText.h"
#include "scan/FlrDirChangeReader.h"
#include "support/TestSupport.h"

namespace ifindtest {

inline void mkdirs(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
}

// Sets the modification (and access) time; ctime cannot be set.
inline void setMtime(const std::string& path, time_t t) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1)
        out.push_back(text.substr(start, lf - start));
    return out;
}

inline std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// The unescaped paths of a path-walk collect file.
inline std::vector<std::string> collectPaths(const std::string& file) {
    std::vector<std::string> out;
    for (const std::string& l : lines(flrtest::readFile(file)))
        out.push_back(FlrCollectText::unescape(l));
    return out;
}

inline bool contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

inline const FlrDirChangeReader::Block* blockOf(const std::vector<FlrDirChangeReader::Block>& bs,
                                                const std::string& path) {
    for (const auto& b : bs)
        if (b.path == path) return &b;
    return nullptr;
}

inline std::vector<std::string> entryNames(const FlrDirChangeReader::Block& b) {
    std::vector<std::string> out;
    for (const auto& e : b.entries) out.push_back(e.name);
    return sorted(out);
}

inline std::vector<FlrDirChangeReader::Block> readDirChange(const std::string& file) {
    return FlrDirChangeReader::parse(flrtest::readFile(file));
}

inline bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace ifindtest
