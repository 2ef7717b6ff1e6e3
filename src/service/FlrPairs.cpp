#include "FLR/FlrPairs.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>

#include "FLR/FlrWatcher.h"
#include "FLR/JxException.h"
#include "net/FlrRateLimit.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxDirFd.h"
#include "platform/JxFile.h"
#include "platform/JxFileLock.h"
#include "platform/TPathMatch.h"

namespace {

constexpr const char* kFnPairs = "FlrPairs";
const std::string kSectionPrefix = "Pairs/";

using Entries = JXPlatformInfo::Entries;

[[noreturn]] void badValue(const std::string& pair, const std::string& key,
                           const std::string& value, const std::string& expected) {
    JX_THROW_CODE(kFnPairs, "Pair " + pair + ": " + key + " = \"" + value + "\" is not " + expected,
                  EINVAL);
}

bool parseBool(const std::string& v, bool* out) {
    if (v == "yes" || v == "true" || v == "1" || v == "on") return *out = true, true;
    if (v == "no" || v == "false" || v == "0" || v == "off") return *out = false, true;
    return false;
}

int parseInt(const std::string& pair, const std::string& key, const std::string& v, int lo,
             int hi) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || errno != 0 || n < lo || n > hi)
        badValue(pair, key, v, "a number from " + std::to_string(lo) + " to " + std::to_string(hi));
    return static_cast<int>(n);
}

const char* yesNo(bool b) {
    return b ? "yes" : "no";
}

// The section's keys, described once: how each is read into a pair and
// written from one (a repeatable key writes one line per value).
struct PairKey {
    const char* name;
    std::function<void(FlrDeclaredPair&, const std::string&)> read;
    std::function<std::vector<std::string>(const FlrDeclaredPair&)> write;
};

const std::vector<PairKey>& pairKeys() {
    using P = FlrDeclaredPair;
    using S = std::string;
    using V = std::vector<std::string>;
    static const std::vector<PairKey> table = {
        {"source", [](P& p, const S& v) { p.options.source = v; },
         [](const P& p) { return V{p.options.source}; }},
        {"destination", [](P& p, const S& v) { p.options.target = v; },
         [](const P& p) { return V{p.options.target}; }},
        {"method",
         [](P& p, const S& v) {
             if (v != "full" && v != "md5" && v != "rsync" && v != "lbfs" && v != "auto")
                 badValue(p.name, "method", v, "full, md5, rsync, lbfs or auto");
             p.options.method = v;
         },
         [](const P& p) { return V{p.options.method}; }},
        {"streams",
         [](P& p, const S& v) { p.options.streams = parseInt(p.name, "streams", v, 1, 64); },
         [](const P& p) { return V{std::to_string(p.options.streams)}; }},
        {"compress",
         [](P& p, const S& v) { p.options.compress = parseInt(p.name, "compress", v, 0, 19); },
         [](const P& p) { return V{std::to_string(p.options.compress)}; }},
        {"encrypt",
         [](P& p, const S& v) {
             if (!parseBool(v, &p.options.encrypt)) badValue(p.name, "encrypt", v, "yes or no");
         },
         [](const P& p) { return V{yesNo(p.options.encrypt)}; }},
        {"exclude", [](P& p, const S& v) { p.options.excludes.push_back(v); },
         [](const P& p) { return p.options.excludes; }},
        {"include", [](P& p, const S& v) { p.options.includes.push_back(v); },
         [](const P& p) { return p.options.includes; }},
        {"no-delete",
         [](P& p, const S& v) {
             if (!parseBool(v, &p.options.noDelete)) badValue(p.name, "no-delete", v, "yes or no");
         },
         [](const P& p) { return V{yesNo(p.options.noDelete)}; }},
        {"bwlimit",
         [](P& p, const S& v) {
             std::string why;
             if (!FlrRateLimit::parse(v, &p.options.bwlimit, &why))
                 badValue(p.name, "bwlimit", v, "a rate (" + why + ")");
         },
         [](const P& p) { return V{std::to_string(p.options.bwlimit)}; }},
        {"watch",
         [](P& p, const S& v) {
             if (!parseBool(v, &p.watch)) badValue(p.name, "watch", v, "yes or no");
         },
         [](const P& p) { return V{yesNo(p.watch)}; }},
    };
    return table;
}

const PairKey* keyNamed(const std::string& name) {
    for (const PairKey& k : pairKeys()) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

void checkName(const std::string& name) {
    const bool ok = !name.empty() && name.size() <= 64 && name[0] != '.' && name[0] != '-' &&
                    name.find_first_not_of(
                        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                        "0123456789._-") == std::string::npos;
    if (!ok)
        JX_THROW_CODE(kFnPairs,
                      "Invalid pair name \"" + name +
                          "\": use up to 64 letters, digits, \".\", \"_\" and \"-\", not "
                          "starting with \".\" or \"-\"",
                      EINVAL);
}

// "HOST:PORT" or "HOST:PORT/path" without the colon before the path: a
// typo that would otherwise become a local folder of that name.
bool looksLikeAddressWithoutPath(const std::string& target) {
    if (target.empty() || target[0] == '/' || target[0] == '.') return false;
    size_t colon = target[0] == '[' ? target.find("]:") : target.find(':');
    if (colon == std::string::npos) return false;
    if (target[0] == '[') ++colon;
    if (target.find('/') < colon) return false;
    const size_t digits = target.find_first_not_of("0123456789", colon + 1);
    return digits > colon + 1 && (digits == std::string::npos || target[digits] == '/');
}

// The pair a state folder belongs to: its pair file, else the status a
// watch left there (folders made before pair files existed).
void readPairOf(FlrPairState& st) {
    std::string text;
    if (jx::readFileIfExists(FlrPairs::pairFile(st.dir), &text, "pair file")) {
        const size_t nl = text.find('\n');
        if (nl != std::string::npos) {
            st.source = text.substr(0, nl);
            const size_t end = text.find('\n', nl + 1);
            st.target = text.substr(nl + 1, end == std::string::npos ? end : end - nl - 1);
            return;
        }
    }
    FlrWatchState w;
    if (jx::readFileIfExists(flrWatchStateFile(st.dir), &text, "status file") &&
        flrParseWatchState(text, &w)) {
        st.source = w.source;
        st.target = w.target;
    }
}

// A shared probe fails only while a run or a watch holds the exclusive lock.
bool lockBusy(const std::string& dir) {
    struct stat sb;
    if (::stat((dir + "/lock").c_str(), &sb) != 0) return false;
    JxFileLock probe(dir + "/lock");
    return !probe.lock(0, 0);
}

// Depth first, never following a link: the folder is ours and private, but a
// link inside it must not take the removal elsewhere.
void removeBelow(int dirFd, const std::string& shown) {
    std::vector<std::string> names;
    if (const int err = jx::listDirFd(dirFd, &names))
        JX_THROW_ERRNO(kFnPairs, "Failed to list " + shown, err);
    for (const std::string& name : names) {
        struct stat sb;
        if (jx::statAt(dirFd, name, &sb) != 0) {
            if (errno == ENOENT) continue;
            JX_THROW_ERRNO(kFnPairs, "Failed to stat " + shown + "/" + name, errno);
        }
        const bool isDir = S_ISDIR(sb.st_mode);
        if (isDir) {
            jx::File sub = jx::openBeneath(dirFd, name, O_RDONLY | O_DIRECTORY);
            if (!sub) JX_THROW_ERRNO(kFnPairs, "Failed to open " + shown + "/" + name, errno);
            removeBelow(sub.get(), shown + "/" + name);
        }
        if (jx::unlinkAt(dirFd, name, isDir) != 0 && errno != ENOENT)
            JX_THROW_ERRNO(kFnPairs, "Failed to remove " + shown + "/" + name, errno);
    }
}

}  // namespace

namespace FlrPairs {

std::string pairFile(const std::string& stateDir) {
    return stateDir + "/pair";
}

std::vector<FlrPairState> states(const std::string& stateRoot) {
    const std::string root = stateRoot.empty() ? FlrReplicator::defaultStateRoot() : stateRoot;
    std::vector<FlrPairState> out;
    jx::File dir = jx::openDirectory(root);
    if (!dir) {
        if (errno == ENOENT) return out;
        JX_THROW_ERRNO(kFnPairs, "Failed to open the state folder " + root, errno);
    }
    std::vector<std::string> names;
    if (const int err = jx::listDirFd(dir.get(), &names))
        JX_THROW_ERRNO(kFnPairs, "Failed to list " + root, err);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        struct stat sb;
        if (jx::statAt(dir.get(), name, &sb) != 0 || !S_ISDIR(sb.st_mode)) continue;
        FlrPairState st;
        st.id = name;
        st.dir = root + "/" + name;
        readPairOf(st);
        st.busy = lockBusy(st.dir);
        out.push_back(std::move(st));
    }
    return out;
}

void removeState(const std::string& dir) {
    JxFileLock lock(dir + "/lock", 0600);
    if (!lock.lock(1, 0))
        JX_THROW_CODE(kFnPairs, "A run or a watch of this pair is using " + dir, EBUSY);
    jx::File fd = jx::openDirectory(dir);
    if (!fd) JX_THROW_ERRNO(kFnPairs, "Failed to open " + dir, errno);
    removeBelow(fd.get(), dir);
    if (::rmdir(dir.c_str()) != 0) JX_THROW_ERRNO(kFnPairs, "Failed to remove " + dir, errno);
}

void normalize(FlrReplicateOptions& o) {
    std::string host, port, path;
    if (FlrReplicator::parseRemote(o.target, &host, &port, &path)) {
        o.source = jx::resolvePath(o.source, kFnPairs);
        return;
    }
    if (looksLikeAddressWithoutPath(o.target))
        JX_THROW_CODE(kFnPairs,
                      "\"" + o.target +
                          "\" looks like a tail's address; write a remote destination as "
                          "HOST:PORT:/path",
                      EINVAL);
    const std::string src = jx::resolvePath(o.source, kFnPairs);
    const std::string dst = jx::resolvePath(o.target, kFnPairs);
    if (jx::pathWithin(dst, src) || jx::pathWithin(src, dst))
        JX_THROW_CODE(kFnPairs,
                      "The destination " + dst + " and the source " + src +
                          " overlap; neither may lie inside the other",
                      EINVAL);
    o.source = src;
    o.target = dst;
}

void checkPatterns(const std::vector<std::string>& patterns) {
    for (const std::string& p : patterns) {
        TPathMatch m;
        m.setDelimiter('/');
        if (!p.empty() && m.compile(p[0] == '/' ? p : "/" + p, 1, 0) != 0)
            JX_THROW_CODE(kFnPairs, m.lastError(), EINVAL);
    }
}

std::vector<std::string> names() {
    return JXPlatformInfo::getSectionNames(kSectionPrefix);
}

bool find(const std::string& name, FlrDeclaredPair* out) {
    const Entries entries = JXPlatformInfo::getSection(kSectionPrefix + name);
    if (entries.empty()) return false;
    FlrDeclaredPair p;
    p.name = name;
    for (const auto& [key, value] : entries) {
        const PairKey* k = keyNamed(key);
        if (!k) JX_THROW_CODE(kFnPairs, "Pair " + name + ": unknown key \"" + key + "\"", EINVAL);
        k->read(p, value);
    }
    if (p.options.source.empty() || p.options.target.empty())
        JX_THROW_CODE(kFnPairs, "Pair " + name + " needs both a source and a destination", EINVAL);
    *out = std::move(p);
    return true;
}

void save(FlrDeclaredPair pair, bool replace) {
    checkName(pair.name);
    if (pair.options.source.empty() || pair.options.target.empty())
        JX_THROW_CODE(kFnPairs, "Pair " + pair.name + " needs both a source and a destination",
                      EINVAL);
    normalize(pair.options);
    // Read back through the same table, so what is written is what a run reads.
    Entries entries;
    for (const PairKey& k : pairKeys()) {
        for (const std::string& v : k.write(pair)) {
            FlrDeclaredPair check;
            check.name = pair.name;
            k.read(check, v);
            entries.emplace_back(k.name, v);
        }
    }
    checkPatterns(pair.options.excludes);
    checkPatterns(pair.options.includes);
    const std::string section = kSectionPrefix + pair.name;
    const int rc = replace ? JXPlatformInfo::replaceSection(section, entries)
                           : JXPlatformInfo::addSection(section, entries);
    if (rc != 0 && errno == EEXIST)
        JX_THROW_CODE(kFnPairs, "A pair named " + pair.name + " is already declared", EEXIST);
    if (rc != 0)
        JX_THROW_ERRNO(kFnPairs,
                       "Failed to write the registry " + JXPlatformInfo::getRegistryFile(), errno);
}

bool remove(const std::string& name) {
    if (JXPlatformInfo::getSection(kSectionPrefix + name).empty()) return false;
    if (JXPlatformInfo::replaceSection(kSectionPrefix + name, {}) != 0)
        JX_THROW_ERRNO(kFnPairs,
                       "Failed to write the registry " + JXPlatformInfo::getRegistryFile(), errno);
    return true;
}

}  // namespace FlrPairs
