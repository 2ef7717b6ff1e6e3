#include "JxMntTab.h"

#include <mntent.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include "FLR/JxException.h"

namespace {

constexpr const char* kDefaultTable = "/proc/self/mounts";
// getmntent_r drops the tail of a line longer than its buffer; overlay
// mounts carry long option lists, so leave ample room.
constexpr size_t kLineBuffer = 64 * 1024;

std::mutex& tableFileMutex() {
    static std::mutex m;
    return m;
}

std::string& tableFile() {
    static std::string path;
    return path;
}

// "/data/" and "/data" name the same mount point; "/" stays "/".
std::string_view withoutTrailingSlashes(std::string_view s) {
    while (s.size() > 1 && s.back() == '/') s.remove_suffix(1);
    return s;
}

// True when mountPoint is path itself or a whole-component prefix of it.
bool holds(std::string_view mountPoint, std::string_view path) {
    mountPoint = withoutTrailingSlashes(mountPoint);
    if (mountPoint.empty()) return false;
    if (mountPoint == "/") return true;
    if (path.substr(0, mountPoint.size()) != mountPoint) return false;
    return path.size() == mountPoint.size() || path[mountPoint.size()] == '/';
}

bool hasOption(const char* options, std::string_view wanted) {
    std::string_view rest(options ? options : "");
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        if (rest.substr(0, comma) == wanted) return true;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return false;
}

void copyText(char* dst, int dstLen, const std::string& text) {
    if (!dst || dstLen <= 0) return;
    snprintf(dst, static_cast<size_t>(dstLen), "%s", text.c_str());
}

char* duplicate(const std::string& s) {
    char* p = strdup(s.c_str());
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

void JxMntTab::setMountTableFile(const std::string& path) {
    std::lock_guard<std::mutex> lk(tableFileMutex());
    tableFile() = path;
}

std::string JxMntTab::getMountTableFile() {
    std::lock_guard<std::mutex> lk(tableFileMutex());
    return tableFile().empty() ? std::string(kDefaultTable) : tableFile();
}

CQiError JxMntTab::getAll(std::list<Entry>& entries) {
    const std::string path = getMountTableFile();
    FILE* f = setmntent(path.c_str(), "re");
    if (!f) {
        const int err = errno ? errno : EIO;
        return CQiError(-err, "JxMntTab", "JxMntTab::getAll", __LINE__,
                        "Failed to open mount table %s for reading: %s", path.c_str(),
                        jxErrnoText(err).c_str());
    }
    std::vector<char> line(kLineBuffer);
    struct mntent ent;
    std::list<Entry> result;
    errno = 0;
    while (getmntent_r(f, &ent, line.data(), static_cast<int>(line.size()))) {
        result.push_back(Entry{ent.mnt_fsname ? ent.mnt_fsname : "", ent.mnt_dir ? ent.mnt_dir : "",
                               ent.mnt_type ? ent.mnt_type : "", ent.mnt_opts ? ent.mnt_opts : ""});
    }
    const bool readFailed = ferror(f) != 0;
    const int err = errno ? errno : EIO;
    endmntent(f);
    if (readFailed) {
        return CQiError(-err, "JxMntTab", "JxMntTab::getAll", __LINE__,
                        "Failed to read mount table %s: %s", path.c_str(),
                        jxErrnoText(err).c_str());
    }
    entries.swap(result);
    return CQiError();
}

const JxMntTab::Entry* JxMntTab::find(const std::list<Entry>& entries, const char* path) {
    if (!path || !*path) return nullptr;
    const Entry* best = nullptr;
    size_t bestLen = 0;
    for (const Entry& e : entries) {
        if (!holds(e.mountPoint, path)) continue;
        const size_t len = withoutTrailingSlashes(e.mountPoint).size();
        // ">=": a later entry is mounted over an earlier one at the same place.
        if (!best || len >= bestLen) {
            best = &e;
            bestLen = len;
        }
    }
    return best;
}

JxMntRecords* jxReadMntTab(char* errBuf, int errBufLen) {
    std::list<JxMntTab::Entry> entries;
    CQiError rc = JxMntTab::getAll(entries);
    if (rc.IsError()) {
        copyText(errBuf, errBufLen, rc.GetMessage());
        return nullptr;
    }
    auto* table = static_cast<JxMntRecords*>(calloc(1, sizeof(JxMntRecords)));
    if (!table) {
        copyText(errBuf, errBufLen, "Out of memory reading the mount table");
        return nullptr;
    }
    try {
        if (!entries.empty()) {
            table->records = static_cast<JxMntRecord*>(calloc(entries.size(), sizeof(JxMntRecord)));
            if (!table->records) throw std::bad_alloc();
        }
        for (const JxMntTab::Entry& e : entries) {
            JxMntRecord& r = table->records[table->count++];
            r.device = duplicate(e.device);
            r.mountPoint = duplicate(e.mountPoint);
            r.readOnly = hasOption(e.options.c_str(), "ro");
            r.options = duplicate(e.options);
            r.fsType = duplicate(e.fsType);
        }
    } catch (const std::bad_alloc&) {
        jxFreeMntTab(table);
        copyText(errBuf, errBufLen, "Out of memory reading the mount table");
        return nullptr;
    }
    return table;
}

void jxFreeMntTab(JxMntRecords* table) {
    if (!table) return;
    for (int i = 0; i < table->count; ++i) {
        free(table->records[i].device);
        free(table->records[i].mountPoint);
        free(table->records[i].options);
        free(table->records[i].fsType);
    }
    free(table->records);
    free(table);
}
