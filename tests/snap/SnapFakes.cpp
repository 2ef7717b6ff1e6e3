#include "SnapFakes.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "platform/JXPlatformInfo.h"
#include "platform/JxMntTab.h"

namespace flrtest {

namespace {

const char* const kTools[] = {"vgdisplay", "lvs",     "lvdisplay",  "lvcreate", "lvchange",
                              "lvremove",  "dmsetup", "cryptsetup", "mount",    "umount"};

std::string unhex(const std::string& hex) {
    std::string out;  // "x" + hex digits
    for (size_t i = 1; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace

std::string fakeHostScript() {
    std::string file = __FILE__;
    if (!file.empty() && file[0] != '/') {
        // Compiled with a path relative to the build folder, where this test runs from.
        char exe[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0) throw std::runtime_error("cannot find the test binary");
        std::string dir(exe, static_cast<size_t>(n));
        file = dir.substr(0, dir.rfind('/')) + "/" + file;
    }
    return file.substr(0, file.rfind('/')) + "/../fakes/fakehost.py";
}

FakeHost::FakeHost(const std::string& state) {
    const std::string bin = dir_.file("bin");
    ::mkdir(bin.c_str(), 0755);
    const std::string script = fakeHostScript();
    for (const char* tool : kTools)
        if (::symlink(script.c_str(), (bin + "/" + tool).c_str()) != 0)
            throw std::runtime_error("cannot link " + std::string(tool));
    const char* path = std::getenv("PATH");
    oldPath_ = path ? path : "";
    ::setenv("PATH", (bin + ":" + oldPath_).c_str(), 1);
    ::setenv("FLR_FAKE_STATE", dir_.path().c_str(), 1);
    setState(state);
    writeFile(dir_.file("mounts"), "");
    oldMountTable_ = JxMntTab::getMountTableFile();
    JxMntTab::setMountTableFile(dir_.file("mounts"));
    const std::string tmp = dir_.file("tmp");
    ::mkdir(tmp.c_str(), 0755);
    JXPlatformInfo::setString("Platform", "dInstall", dir_.file("install"));
    JXPlatformInfo::setString("Platform", "dTemp", tmp);
    JXPlatformInfo::setString("ZRP", "dSnapMountDir", mountRoot());
    JXPlatformInfo::setString("Platform", "sHostName", "tailhost");
}

FakeHost::~FakeHost() {
    ::setenv("PATH", oldPath_.c_str(), 1);
    ::unsetenv("FLR_FAKE_STATE");
    JxMntTab::setMountTableFile(oldMountTable_);
}

void FakeHost::setState(const std::string& state) {
    writeFile(dir_.file("state.json"), state);
}

std::string FakeHost::state() const {
    return readFile(dir_.file("state.json"));
}

std::vector<FakeHost::Call> FakeHost::calls() const {
    std::vector<Call> out;
    std::istringstream in(readFile(dir_.file("calls.log")));
    for (std::string line; std::getline(in, line);) {
        Call c;
        const size_t tab = line.find('\t');
        std::istringstream words(line.substr(0, tab));
        for (std::string w; words >> w;) c.argv.push_back(unhex(w));
        if (tab != std::string::npos) c.input = unhex(line.substr(tab + 1));
        out.push_back(c);
    }
    return out;
}

std::vector<FakeHost::Call> FakeHost::calls(const std::string& tool) const {
    std::vector<Call> out;
    for (auto& c : calls())
        if (!c.argv.empty() && c.argv[0] == tool) out.push_back(c);
    return out;
}

void FakeHost::clearCalls() {
    writeFile(dir_.file("calls.log"), "");
}

}  // namespace flrtest
