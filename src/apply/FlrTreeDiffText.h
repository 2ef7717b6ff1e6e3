#pragma once
// The words both forms of `flr verify` (local trees, and a tail's listing)
// use for an entry whose type differs, so a user reads one wording.
#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace flrtree {

inline const char* typeName(uint32_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return "file";
        case S_IFDIR:
            return "folder";
        case S_IFLNK:
            return "symbolic link";
        case S_IFIFO:
            return "fifo";
        case S_IFCHR:
            return "character device";
        case S_IFBLK:
            return "block device";
        case S_IFSOCK:
            return "socket";
        default:
            return "unknown";
    }
}

inline std::string typeDiffers(uint32_t source, uint32_t destination) {
    return std::string("type differs: ") + typeName(source) + " on source, " +
           typeName(destination) + " on destination";
}

}  // namespace flrtree
