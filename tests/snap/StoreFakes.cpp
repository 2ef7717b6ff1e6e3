#include "StoreFakes.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "mgmt/JXZrpJobClient.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxMntTab.h"

namespace flrtest {

namespace {

const char* const kStoreTools[] = {"vxdg",          "vxsnap",      "vxprint",      "vxedit",
                                   "mmlsfs",        "mmlsfileset", "mmlssnapshot", "mmcrsnapshot",
                                   "mmdelsnapshot", "jxsnap"};

std::string storeUnhex(const std::string& hex) {
    std::string out;  // "x" + hex digits
    for (size_t i = 1; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string sourceDir() {
    std::string file = __FILE__;
    if (!file.empty() && file[0] != '/') {
        // Compiled with a path relative to the build folder, where the test runs from.
        char exe[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0) throw std::runtime_error("cannot find the test binary");
        const std::string path(exe, static_cast<size_t>(n));
        file = path.substr(0, path.rfind('/')) + "/" + file;
    }
    return file.substr(0, file.rfind('/'));
}

std::string replaced(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

}  // namespace

FakeStore::FakeStore(const std::string& state) {
    const std::string bin = dir_.file("bin");
    ::mkdir(bin.c_str(), 0755);
    const std::string script = sourceDir() + "/../fakes/fakestore.py";
    for (const char* tool : kStoreTools)
        if (::symlink(script.c_str(), (bin + "/" + tool).c_str()) != 0)
            throw std::runtime_error("cannot link " + std::string(tool));
    const char* path = std::getenv("PATH");
    oldPath_ = path ? path : "";
    ::setenv("PATH", (bin + ":" + oldPath_).c_str(), 1);
    ::setenv("FLR_FAKE_STATE", dir_.path().c_str(), 1);
    setState(state);
    oldMountTable_ = JxMntTab::getMountTableFile();
    setMounts("");
    JxMntTab::setMountTableFile(dir_.file("mounts"));
    const std::string tmp = dir_.file("tmp");
    ::mkdir(tmp.c_str(), 0755);
    JXPlatformInfo::setString("Platform", "dInstall", dir_.file("install"));
    JXPlatformInfo::setString("Platform", "dTemp", tmp);
    JXPlatformInfo::setString("ZRP", "dSnapMountDir", dir_.file("snapmount"));
}

FakeStore::~FakeStore() {
    ::setenv("PATH", oldPath_.c_str(), 1);
    ::unsetenv("FLR_FAKE_STATE");
    JxMntTab::setMountTableFile(oldMountTable_);
}

void FakeStore::setState(const std::string& state) {
    writeFile(dir_.file("store.json"), replaced(state, "@DIR@", dir_.path()));
}

std::string FakeStore::state() const {
    return readFile(dir_.file("store.json"));
}

void FakeStore::setMounts(const std::string& table) {
    writeFile(dir_.file("mounts"), table);
}

std::string FakeStore::outbox() const {
    const std::string path = JXZrpJobClient::outboxPath();
    return ::access(path.c_str(), F_OK) == 0 ? readFile(path) : std::string();
}

std::vector<std::vector<std::string>> FakeStore::calls(const std::string& tool) const {
    std::vector<std::vector<std::string>> out;
    if (::access(dir_.file("calls.log").c_str(), F_OK) != 0) return out;
    std::istringstream in(readFile(dir_.file("calls.log")));
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> argv;
        std::istringstream words(line.substr(0, line.find('\t')));
        for (std::string w; words >> w;) argv.push_back(storeUnhex(w));
        if (!argv.empty() && argv[0] == tool) out.push_back(argv);
    }
    return out;
}

void FakeStore::clearCalls() {
    writeFile(dir_.file("calls.log"), "");
}

}  // namespace flrtest
