// Descriptors kept open across journal records.
#include "FlrTailOpenFiles.h"

#include <algorithm>

namespace {

// rel is path or lies below it.
bool atOrBelow(std::string_view rel, std::string_view path) {
    if (path.empty()) return true;
    if (rel.size() < path.size() || rel.compare(0, path.size(), path) != 0) return false;
    return rel.size() == path.size() || rel[path.size()] == '/';
}

}  // namespace

FlrTailOpenFiles::Slot* FlrTailOpenFiles::slotOf(std::string_view rel) {
    for (Slot& s : slots_)
        if (s.rel.size() == rel.size() && s.rel == rel) return &s;
    return nullptr;
}

int FlrTailOpenFiles::find(std::string_view rel) {
    Slot* s = slotOf(rel);
    if (!s) return -1;
    s->used = ++tick_;
    return s->file.get();
}

int FlrTailOpenFiles::put(std::string_view rel, jx::File f) {
    Slot* s = slotOf(rel);
    if (!s && slots_.size() < capacity_) s = &slots_.emplace_back();
    if (!s)
        s = &*std::min_element(slots_.begin(), slots_.end(),
                               [](const Slot& a, const Slot& b) { return a.used < b.used; });
    s->rel.assign(rel);
    s->file = std::move(f);
    s->used = ++tick_;
    return s->file.get();
}

void FlrTailOpenFiles::dropAt(std::string_view rel) {
    slots_.erase(std::remove_if(slots_.begin(), slots_.end(),
                                [rel](const Slot& s) { return atOrBelow(s.rel, rel); }),
                 slots_.end());
}
