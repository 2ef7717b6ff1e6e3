#pragma once
// Descriptors kept open across journal records, by path relative to the
// destination root: a stream of records about the same few files and folders
// then costs one system call each instead of a walk, a stat, an open and a
// close. Bounded; the least recently used goes first.
//
// The holder keeps it true: whatever moves or removes a name drops the
// entries at and below that name (dropAt), so a descriptor never stands for
// a path that now names another entry.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/JxFile.h"

class FlrTailOpenFiles {
  public:
    explicit FlrTailOpenFiles(size_t capacity) : capacity_(capacity) {}

    // The descriptor held for rel, or -1.
    int find(std::string_view rel);
    // Holds f for rel (replacing what rel held) and returns its descriptor.
    int put(std::string_view rel, jx::File f);
    // Closes what is held for rel and for every path below it ("" is all).
    void dropAt(std::string_view rel);
    void clear() { slots_.clear(); }
    size_t size() const { return slots_.size(); }

  private:
    struct Slot {
        std::string rel;
        jx::File file;
        uint64_t used = 0;
    };
    Slot* slotOf(std::string_view rel);

    size_t capacity_;
    uint64_t tick_ = 0;
    // A few dozen entries: a scan compares lengths first and stays cheaper
    // than hashing the path.
    std::vector<Slot> slots_;
};
