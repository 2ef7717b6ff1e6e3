#pragma once
// A hard link entry (MIR_HEADER method 4): another name of a file the same
// session placed earlier. MIR_DATA carries that name's path (confined like
// every path); at MIR_EOF the link is made under a temporary name in the new
// name's folder and renamed over it, so the name never shows anything but
// its old entry or the linked file. The linked file must be a regular file
// under the root; a link to a symbolic link or a folder is refused.
#include <string>

#include "FlrTailApplier.h"

class FlrTailHardLink {
  public:
    static constexpr size_t kMaxTarget = 4096;

    // rel: the new name, already confined.
    FlrTailHardLink(const FlrTailRoot& root, std::string rel) : root_(root), rel_(std::move(rel)) {}

    const std::string& rel() const { return rel_; }
    // Throws when the path grows beyond kMaxTarget.
    void data(const void* data, size_t len);
    // The linked name relative to the root; throws JxException (code ELOOP
    // or EXDEV for a refused path) when it is not acceptable.
    std::string target() const;
    // Links rel to target (relative to the root); durable: the folder's new
    // entry is synced. Throws JxException.
    void place(const std::string& target, bool durable) const;

  private:
    const FlrTailRoot& root_;
    std::string rel_;
    std::string received_;
};
