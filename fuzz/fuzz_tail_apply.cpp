// The tail's apply path under arbitrary message sequences: headers of every
// type and method, data, seeks, copy references, ACLs, ends and dirchange
// streams, with paths that try to leave the root (parent components,
// absolute paths elsewhere, a planted link to the outside, links the sequence
// makes itself), deltas applied in place or beside, entries in the tail's
// recovery points' folder and dirchange names of any length. Whatever happens
// inside the root, the folder beside it and the recovery points' folder in it
// must stay exactly as they were; anything else aborts.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "apply/FlrTailAnswers.h"
#include "apply/FlrTailApplier.h"
#include "net/FlrNetMessage.h"
#include "platform/EvDebug.h"
#include "platform/JxDirFd.h"

namespace {

// The fuzz input, read front to back; zeros once it runs out.
struct Input {
    const uint8_t* p;
    size_t left;
    uint8_t byte() {
        if (left == 0) return 0;
        --left;
        return *p++;
    }
    uint32_t u32() {
        return byte() | byte() << 8 | byte() << 16 | static_cast<uint32_t>(byte()) << 24;
    }
    std::string bytes(size_t n) {
        n = std::min(n, left);
        std::string s(reinterpret_cast<const char*>(p), n);
        p += n;
        left -= n;
        return s;
    }
};

std::string g_base;     // holds root/ and outside/
std::string g_outside;  // must never change

void removeTree(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        ::chmod(path.c_str(), 0700);
        if (DIR* d = ::opendir(path.c_str())) {
            std::vector<std::string> names;
            while (struct dirent* e = ::readdir(d))
                if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                    names.push_back(e->d_name);
            ::closedir(d);
            for (const auto& n : names) removeTree(path + "/" + n);
        }
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

void snapshot(const std::string& dir, std::map<std::string, std::string>* out) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    ::closedir(d);
    for (const auto& n : names) {
        const std::string path = dir + "/" + n;
        struct stat st {};
        ::lstat(path.c_str(), &st);
        std::string v = std::to_string(st.st_mode) + ":" + std::to_string(st.st_size) + ":" +
                        std::to_string(st.st_mtime);
        (*out)[path] = v;
        if (S_ISDIR(st.st_mode)) snapshot(path, out);
    }
}

std::map<std::string, std::string> g_before;

void setUp() {
    char tmpl[] = "/tmp/fuzz_tail_apply.XXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    g_base = tmpl;
    g_outside = g_base + "/outside";
    ::mkdir(g_outside.c_str(), 0755);
    ::mkdir((g_outside + "/sub").c_str(), 0755);
    FILE* f = std::fopen((g_outside + "/canary").c_str(), "w");
    if (!f) std::abort();
    std::fputs("canary", f);
    std::fclose(f);
    snapshot(g_outside, &g_before);
    EvDebug::setLevel(-1);
}

const char* const kNames[] = {"a",
                              "a/b",
                              "a/b/c",
                              "link",
                              "link/x",
                              "link/sub",
                              "../outside/canary",
                              "x/../../outside",
                              "",
                              "made",
                              "made/canary",
                              "a/.a.flrtmp.0123456789abcdef",
                              "..",
                              ".flrsnap",
                              ".flrsnap/jxr_00000001",
                              ".flrsnap/jxr_00000003",
                              "./.flrsnap/jxr_00000001/point"};

std::string pathFor(Input& in, const std::string& root) {
    const uint8_t k = in.byte();
    const size_t n = sizeof kNames / sizeof kNames[0];
    const std::string name = kNames[k % n];
    switch ((k / n) % 4) {
        case 0:
            return name;
        case 1:
            return root + "/" + name;
        case 2:
            return g_outside + "/" + name;
        default:
            return in.bytes(in.byte() % 24);  // raw bytes
    }
}

mode_t modeFor(uint8_t k) {
    static const mode_t types[] = {S_IFREG, S_IFREG, S_IFREG,  S_IFDIR,
                                   S_IFLNK, S_IFIFO, S_IFSOCK, 0};
    return types[k % 8] | (k & 0777);
}

// What a checksum answer for path would leave: the copy as it is now (a
// delta is built only over the copy its answer described).
void answerAsked(FlrTailApplier& applier, const std::string& path) {
    std::string rel;
    std::string why;
    if (!applier.root().relative(path, &rel, &why)) return;
    jx::File f = jx::openBeneath(applier.root().fd(), rel, O_RDONLY | O_NONBLOCK);
    struct stat st {};
    const bool regular = f && ::fstat(f.get(), &st) == 0 && S_ISREG(st.st_mode);
    applier.answered().remember(rel, regular ? FlrTailCopyId::of(st) : FlrTailCopyId{});
}

void run(Input& in, const std::string& root) {
    FlrTailApplier::Options options;
    options.syncFiles = false;
    options.setOwners = false;
    // An LBFS header no block follows is waited for before a dirchange; the
    // default minute made such inputs take over a minute each.
    options.lbfsIdleSeconds = 1;
    // Deltas in place, built beside, or in place until a few old bytes are
    // kept (then beside).
    const uint8_t mode = in.byte();
    options.inPlace = (mode & 1) == 0;
    if (mode & 2) options.inPlaceKeepBytes = 1 + (mode >> 2) * 512;
    FlrTailApplier applier(root, options);
    FlrTailApplySession session(applier);
    std::string path;
    std::string payload;
    std::vector<long long> refs;
    for (int i = 0; i < 64 && in.left > 0; ++i) {
        FlrNetMessage m;
        switch (in.byte() % 8) {
            case 0: {
                path = pathFor(in, root);
                const uint8_t k = in.byte();
                m.type = FLR_NET_MIR_HEADER;
                m.mirHeader.mode = modeFor(k);
                // Large sizes stay below 64 MiB: a copy beside an old copy
                // of gigabytes (holes read as zeros) wrote it all, and a
                // single input took a minute.
                m.mirHeader.size = in.byte() % 2 ? in.u32() % 70000 : in.u32() % (64u << 20);
                m.mirHeader.method = in.byte() % 4;
                m.mirHeader.overwrite = in.byte() % 4 != 0;
                m.mirHeader.mtime = in.u32();
                m.mirHeader.path = path.c_str();
                // Most deltas come after their answer; the rest must fail.
                if ((m.mirHeader.method == 1 || m.mirHeader.method == 2) && in.byte() % 4 != 0)
                    answerAsked(applier, path);
                break;
            }
            case 1:
            case 2:
                payload = in.byte() % 3 == 0 ? g_outside : in.bytes(in.u32() % 9000);
                m.type = FLR_NET_MIR_DATA;
                m.data = {payload.data(), static_cast<int>(payload.size())};
                break;
            case 3:
                m.type = FLR_NET_MIR_SEEK;
                m.seek.offset = static_cast<int32_t>(in.u32());
                break;
            case 4: {
                const int n = in.byte() % 4;
                refs.clear();
                for (int j = 0; j < 2 * n; ++j)
                    refs.push_back(static_cast<int32_t>(in.u32()) % 100000);
                m.type = FLR_NET_MIR_RSYNC;
                m.mirRSync = {n, refs.data(), refs.data() + n};
                break;
            }
            case 5:
                m.type = FLR_NET_MIR_EOF;
                break;
            case 6:
                m.type = FLR_NET_MIR_SPEC_FILE;
                m.mirSpecFile.id = in.byte() % 3;
                break;
            default:
                // A dirchange-looking piece: a folder line and a name, now
                // and then longer than any file system allows.
                payload = pathFor(in, root) + "\n\t" + in.bytes(in.byte() % 12) +
                          std::string(in.byte() % 8 == 0 ? 300 : 0, 'n') + "\n";
                m.type = FLR_NET_MIR_DATA;
                m.data = {payload.data(), static_cast<int>(payload.size())};
                break;
        }
        session.handle(m, nullptr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_base.empty()) setUp();
    const std::string root = g_base + "/root";
    removeTree(root);
    ::mkdir(root.c_str(), 0755);
    if (::symlink(g_outside.c_str(), (root + "/link").c_str()) != 0) std::abort();
    // A recovery point, as the btrfs engine keeps it at the top of the root.
    const std::string points = root + "/.flrsnap";
    ::mkdir(points.c_str(), 0700);
    ::mkdir((points + "/jxr_00000001").c_str(), 0755);
    if (FILE* f = std::fopen((points + "/jxr_00000001/point").c_str(), "w")) std::fclose(f);
    std::map<std::string, std::string> pointsBefore;
    snapshot(points, &pointsBefore);
    Input in{data, size};
    try {
        run(in, root);
    } catch (...) {
        // Throwing is allowed; touching the outside is not.
    }
    std::map<std::string, std::string> after;
    snapshot(g_outside, &after);
    if (after != g_before) {
        std::fprintf(stderr, "fuzz_tail_apply: the folder outside the root changed\n");
        std::abort();
    }
    std::map<std::string, std::string> pointsAfter;
    snapshot(points, &pointsAfter);
    struct stat st {};
    if (pointsAfter != pointsBefore || ::lstat(points.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "fuzz_tail_apply: the recovery points' folder changed\n");
        std::abort();
    }
    return 0;
}
