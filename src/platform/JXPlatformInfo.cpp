#include "JXPlatformInfo.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "EvDebug.h"
#include "FLR/JxException.h"
#include "JxFile.h"

namespace {

constexpr const char* kDefaultRegistry = "/etc/flr/registry.ini";

// The file kept as its lines, so a write changes one line and keeps the
// comments and order a person gave it.
struct IniFile {
    std::vector<std::string> lines;
    // section -> key -> index into lines
    std::map<std::string, std::map<std::string, size_t>> index;
    // section -> index of its last line (header or key)
    std::map<std::string, size_t> sectionEnd;
};

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool parseSectionHeader(const std::string& t, std::string& name) {
    if (t.size() < 2 || t.front() != '[' || t.back() != ']') return false;
    name = trim(t.substr(1, t.size() - 2));
    return true;
}

bool parseKeyLine(const std::string& t, std::string& key, std::string& value) {
    if (t.empty() || t[0] == '#' || t[0] == ';') return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = trim(t.substr(0, eq));
    value = trim(t.substr(eq + 1));
    // A value written with edge blanks or quotes is kept inside double quotes.
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return !key.empty();
}

IniFile parseIni(const std::string& text) {
    IniFile ini;
    std::istringstream in(text);
    std::string line, section, key, value;
    bool inSection = false;
    while (std::getline(in, line)) {
        ini.lines.push_back(line);
        const size_t at = ini.lines.size() - 1;
        const std::string t = trim(line);
        std::string name;
        if (parseSectionHeader(t, name)) {
            section = name;
            inSection = true;
            ini.sectionEnd[section] = at;
        } else if (inSection && parseKeyLine(t, key, value)) {
            ini.index[section][key] = at;
            ini.sectionEnd[section] = at;
        }
    }
    return ini;
}

bool lookup(const IniFile& ini, const std::string& section, const std::string& key,
            std::string& value) {
    auto s = ini.index.find(section);
    if (s == ini.index.end()) return false;
    auto k = s->second.find(key);
    if (k == s->second.end()) return false;
    std::string parsedKey;
    return parseKeyLine(trim(ini.lines[k->second]), parsedKey, value);
}

struct FileSignature {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    struct timespec mtime {};
    struct timespec ctime {};
    bool operator==(const FileSignature& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

FileSignature signatureOf(const std::string& path) {
    FileSignature sig;
    struct stat st;
    if (jx::fileOps().stat(path.c_str(), &st) == 0) {
        sig.dev = st.st_dev;
        sig.ino = st.st_ino;
        sig.size = st.st_size;
        sig.mtime = st.st_mtim;
        sig.ctime = st.st_ctim;
    }
    return sig;
}

// The file's text; empty only when there is no file. Any other failure
// (EACCES, EMFILE, EIO) throws: taking an unreadable registry for an empty
// one would make the next write drop every other key, the link secret too.
std::string readRegistryText(const std::string& path) {
    std::string text;
    jx::readFileIfExists(path, &text, "registry file", "JXPlatformInfo");
    return text;
}

// Registry state; `mutex` guards every field.
struct Registry {
    std::mutex mutex;
    std::string path;
    bool pathSet = false;
    FileSignature cachedSig;
    bool cached = false;
    IniFile cache;

    std::string currentPath() {
        if (pathSet) return path;
        const char* env = std::getenv("FLR_REGISTRY");
        return env && *env ? env : kDefaultRegistry;
    }

    // A fresh parse whenever the file changed since the last one.
    const IniFile& current() {
        const std::string p = currentPath();
        FileSignature sig = signatureOf(p);
        if (!cached || !(sig == cachedSig)) {
            try {
                cache = parseIni(readRegistryText(p));
                cachedSig = sig;
                cached = true;
            } catch (const JxException& e) {
                // Keep answering from the last good parse and try again on
                // the next read; reads have no error channel of their own.
                EvDebug::Error("JXPlatformInfo::current", "%s", e.getMessage().c_str());
            }
        }
        return cache;
    }
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives static destructors of callers
    return *r;
}

bool get(const std::string& section, const std::string& key, std::string& value) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lk(r.mutex);
    return lookup(r.current(), section, key, value);
}

int makeParents(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return 0;
    std::string dir = path.substr(0, slash);
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            std::string part = dir.substr(0, i);
            if (jx::fileOps().mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return -1;
        }
    }
    return 0;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) {
        out += l;
        out += '\n';
    }
    return out;
}

// Applies edit to the freshly read file under an exclusive lock shared by
// every process, then replaces the file in one rename.
template <class Edit>
int modify(Edit edit) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lk(r.mutex);
    const std::string p = r.currentPath();
    if (makeParents(p) != 0) return -1;
    jx::File lock = jx::openFile(p + ".lock", O_RDWR | O_CREAT, 0600);
    if (!lock) return -1;
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) return -1;  // File's close keeps errno
    }
    int rc = 0;
    try {
        jx::removeAtomicTemps(p);  // left by writers killed mid-write; we hold the lock
        IniFile ini = parseIni(readRegistryText(p));
        // Created 0600: the registry holds the link secret.
        if (edit(ini))
            jx::replaceFile(p, joinLines(ini.lines), 0600, "registry file", "JXPlatformInfo");
    } catch (const JxException& e) {
        EvDebug::Error("JXPlatformInfo::modify", "%s", e.getMessage().c_str());
        rc = -1;
        errno = e.getCode() > 0 ? e.getCode() : EIO;
    }
    r.cached = false;
    return rc;  // closing the lock file releases the flock
}

// A value written with edge blanks or a leading quote is kept inside quotes.
std::string keyLine(const std::string& key, const std::string& value) {
    const bool quote =
        !value.empty() && (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
                           value.back() == '\t' || value.front() == '"');
    return key + " = " + (quote ? "\"" + value + "\"" : value);
}

bool validText(const std::string& s) {
    return s.find_first_of("\n\r") == std::string::npos;
}

bool parseLongLong(const std::string& text, long long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    long long v = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0') return false;
    out = v;
    return true;
}

void clientNames(std::list<std::string>& clients, bool activeOnly) {
    Registry& r = registry();
    std::set<std::string> names;
    std::map<std::string, std::string> active;
    {
        std::lock_guard<std::mutex> lk(r.mutex);
        const IniFile& ini = r.current();
        for (const auto& [section, _] : ini.sectionEnd) {
            static const std::string prefix = "Machines/";
            if (section.compare(0, prefix.size(), prefix) != 0) continue;
            std::string rest = section.substr(prefix.size());
            std::string name = rest.substr(0, rest.find('/'));
            if (name.empty()) continue;
            names.insert(name);
            std::string v;
            if (lookup(ini, prefix + name, "bActive", v)) active[name] = v;
        }
    }
    clients.clear();
    for (const auto& n : names) {
        auto a = active.find(n);
        if (activeOnly && a != active.end() && trim(a->second) == "0") continue;
        clients.push_back(n);
    }
}

}  // namespace

int JXPlatformInfo::getString(const std::string& section, const std::string& key,
                              std::string& value) {
    return get(section, key, value) ? 1 : 0;
}

int JXPlatformInfo::getLongLong(const std::string& section, const std::string& key,
                                long long& value) {
    std::string text;
    long long v = 0;
    if (!get(section, key, text) || !parseLongLong(text, v)) return 0;
    value = v;
    return 1;
}

int JXPlatformInfo::getNumber(const std::string& section, const std::string& key, long& value) {
    long long v = 0;
    if (!getLongLong(section, key, v)) return 0;
    value = static_cast<long>(v);
    return 1;
}

int JXPlatformInfo::getNumber(const std::string& section, const std::string& key, int& value) {
    long long v = 0;
    if (!getLongLong(section, key, v)) return 0;
    value = static_cast<int>(v);
    return 1;
}

int JXPlatformInfo::setString(const std::string& section, const std::string& key,
                              const std::string& value) {
    if (!validText(section) || !validText(key) || !validText(value) || key.empty() ||
        key.find('=') != std::string::npos || section.find(']') != std::string::npos) {
        errno = EINVAL;
        return -1;
    }
    return modify([&](IniFile& ini) {
        const std::string line = keyLine(key, value);
        auto s = ini.index.find(section);
        if (s != ini.index.end()) {
            auto k = s->second.find(key);
            if (k != s->second.end()) {
                ini.lines[k->second] = line;
                return true;
            }
        }
        auto end = ini.sectionEnd.find(section);
        if (end != ini.sectionEnd.end()) {
            ini.lines.insert(ini.lines.begin() + static_cast<long>(end->second) + 1, line);
        } else {
            if (!ini.lines.empty() && !trim(ini.lines.back()).empty()) ini.lines.emplace_back();
            ini.lines.push_back("[" + section + "]");
            ini.lines.push_back(line);
        }
        return true;
    });
}

int JXPlatformInfo::setLongLong(const std::string& section, const std::string& key,
                                long long value) {
    return setString(section, key, std::to_string(value));
}

int JXPlatformInfo::deleteValue(const std::string& section, const std::string& key) {
    return modify([&](IniFile& ini) {
        auto s = ini.index.find(section);
        if (s == ini.index.end()) return false;
        auto k = s->second.find(key);
        if (k == s->second.end()) return false;
        ini.lines.erase(ini.lines.begin() + static_cast<long>(k->second));
        return true;
    });
}

std::vector<std::string> JXPlatformInfo::getSectionNames(const std::string& prefix) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lk(r.mutex);
    std::vector<std::string> names;
    for (const auto& [section, _] : r.current().sectionEnd) {
        if (section.size() > prefix.size() && section.compare(0, prefix.size(), prefix) == 0)
            names.push_back(section.substr(prefix.size()));
    }
    return names;  // the map keeps them sorted
}

namespace {

// Lines [first, last) of a section's block, from its header to the next
// header; false when the file has no such section.
bool sectionBlock(const IniFile& ini, const std::string& section, size_t* first, size_t* last) {
    std::string name;
    bool found = false;
    for (size_t i = 0; i < ini.lines.size(); ++i) {
        if (!parseSectionHeader(trim(ini.lines[i]), name)) continue;
        if (found) {
            *last = i;
            return true;
        }
        if (name == section) {
            found = true;
            *first = i;
        }
    }
    *last = ini.lines.size();
    return found;
}

}  // namespace

JXPlatformInfo::Entries JXPlatformInfo::getSection(const std::string& section) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lk(r.mutex);
    const IniFile& ini = r.current();
    Entries out;
    size_t first = 0, last = 0;
    if (!sectionBlock(ini, section, &first, &last)) return out;
    std::string key, value;
    for (size_t i = first + 1; i < last; ++i) {
        if (parseKeyLine(trim(ini.lines[i]), key, value)) out.emplace_back(key, value);
    }
    return out;
}

int JXPlatformInfo::replaceSection(const std::string& section, const Entries& entries) {
    return writeSection(section, entries, false);
}

int JXPlatformInfo::addSection(const std::string& section, const Entries& entries) {
    return writeSection(section, entries, true);
}

int JXPlatformInfo::writeSection(const std::string& section, const Entries& entries,
                                 bool onlyIfAbsent) {
    bool valid = validText(section) && !section.empty() && section.find(']') == std::string::npos;
    for (const auto& [key, value] : entries)
        valid = valid && validText(key) && validText(value) && !key.empty() &&
                key.find('=') == std::string::npos && key[0] != '[' && key[0] != '#' &&
                key[0] != ';';
    if (!valid) {
        errno = EINVAL;
        return -1;
    }
    bool present = false;
    const int rc = modify([&](IniFile& ini) {
        std::vector<std::string> block;
        if (!entries.empty()) block.push_back("[" + section + "]");
        for (const auto& [key, value] : entries) block.push_back(keyLine(key, value));
        size_t first = 0, last = 0;
        if (sectionBlock(ini, section, &first, &last)) {
            // Checked under the registry's lock: two adders of one name
            // cannot both find it free.
            if (onlyIfAbsent) return !(present = true);
            // Keep the blank line that parts it from the next section.
            if (!block.empty() && last < ini.lines.size()) block.emplace_back();
            ini.lines.erase(ini.lines.begin() + static_cast<long>(first),
                            ini.lines.begin() + static_cast<long>(last));
            ini.lines.insert(ini.lines.begin() + static_cast<long>(first), block.begin(),
                             block.end());
            return true;
        }
        if (block.empty()) return false;
        if (!ini.lines.empty() && !trim(ini.lines.back()).empty()) ini.lines.emplace_back();
        ini.lines.insert(ini.lines.end(), block.begin(), block.end());
        return true;
    });
    if (rc == 0 && present) {
        errno = EEXIST;
        return -1;
    }
    return rc;
}

void JXPlatformInfo::getClientList(std::list<std::string>& clients) {
    clientNames(clients, false);
}

void JXPlatformInfo::getActiveClientList(std::list<std::string>& clients) {
    clientNames(clients, true);
}

std::string JXPlatformInfo::getPhysicalHostName() {
    std::string name;
    if (getString("Platform", "sHostName", name) && !name.empty()) return name;
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    return buf;
}

void JXPlatformInfo::setRegistryFile(const std::string& path) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lk(r.mutex);
    r.path = path;
    r.pathSet = !path.empty();
    r.cached = false;
}

std::string JXPlatformInfo::getRegistryFile() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lk(r.mutex);
    return r.currentPath();
}

namespace {
std::string platformDir(const char* key, const std::string& fallback) {
    std::string v;
    if (JXPlatformInfo::getString("Platform", key, v)) return v;
    return fallback;
}
}  // namespace

std::string JXPI_Base::getOrchardDirectory() {
    return platformDir("dInstall", "/var/lib/flr");
}

std::string JXPI_Base::getOrchardTempDirectory() {
    return platformDir("dTemp", getOrchardDirectory() + "/tmp");
}

std::string JXPI_CommClient::getJobResultsDirectory(const std::string& clientName) {
    std::string v;
    if (!clientName.empty() &&
        JXPlatformInfo::getString("Machines/" + clientName, "dJobResults", v))
        return v;
    return platformDir("dJobResults", JXPI_Base::getOrchardDirectory() + "/JobResults");
}
