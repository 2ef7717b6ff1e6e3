#pragma once
// The host's mount table as the HSM-aware code sees it: every mounted file
// system in table order, with look-ups by path and by mount point.
#include <list>
#include <string>

class QZHSMMntTab {
  public:
    struct Entry {
        std::string device;
        std::string mountPoint;
        bool readOnly = false;
        std::string options;
        std::string fsType;
    };
    using const_iterator = std::list<Entry>::const_iterator;

    // Reads the platform's mount table; throws JxException when it cannot.
    QZHSMMntTab();
    // Reads the given mount-table file instead (tools and tests). Points the
    // process-wide JxMntTab file at it for the duration of the read.
    explicit QZHSMMntTab(const std::string& mountTableFile);

    // The entry of the file system holding path: the longest mount point that
    // is path itself or, with "/" appended, a prefix of it; of equal ones the
    // later entry, which is mounted over the earlier. Throws when none holds it.
    const Entry* find(const char* path) const;
    // The entry mounted at mountPoint with file-system type fsType (the later
    // one when mounted twice); null when none.
    const Entry* find(const char* mountPoint, const char* fsType) const;

    const std::list<Entry>& entries() const { return entries_; }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

  private:
    void load();

    std::list<Entry> entries_;
};
