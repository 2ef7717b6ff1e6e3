// The host key file of registry secrets is used only when nobody else can
// have chosen or read it: a FIFO, a symbolic link, a file of another user
// or one open to others is refused at once with a reason, never waited on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mgmt/JXPassword.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

TEST(JXPasswordKeyFile, KeyFilesOthersControlAreRefusedAtOnce) {
    flrtest::ScopedRegistry reg;
    const std::string good = reg.dir() + "/good.key";
    JXPlatformInfo::setString("Platform", "sSecretKeyFile", good);
    std::string stored;
    ASSERT_EQ(0, JXPassword::encrypt("hunter2", stored));  // makes the key

    const std::string fifo = reg.dir() + "/fifo.key", link = reg.dir() + "/link.key",
                      foreign = reg.dir() + "/foreign.key", open = reg.dir() + "/open.key";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(0, ::symlink(good.c_str(), link.c_str()));
    flrtest::writeFile(open, flrtest::readFile(good));
    ASSERT_EQ(0, ::chmod(open.c_str(), 0640));
    struct Case {
        std::string path, says;
    };
    std::vector<Case> cases = {{fifo, "not a regular file"},
                               {link, "symbolic link"},
                               {open, "readable by its owner only"}};
    flrtest::writeFile(foreign, flrtest::readFile(good));
    ASSERT_EQ(0, ::chmod(foreign.c_str(), 0600));
    if (::geteuid() == 0 && ::chown(foreign.c_str(), 65534, 65534) == 0)
        cases.push_back({foreign, "belongs to uid 65534"});
    for (const Case& c : cases) {
        JXPlatformInfo::setString("Platform", "sSecretKeyFile", c.path);
        // In a child with an alarm: a key file read that blocks fails
        // (128 + SIGALRM) instead of hanging the suite.
        const int rc = flrtest::runInChild([&] {
            ::alarm(5);
            std::string plain, error;
            if (JXPassword::decrypt(stored, plain, &error) != -1) return 1;
            if (error.find(c.says) == std::string::npos) return 2;
            return error.find("hunter2") == std::string::npos ? 0 : 3;
        });
        EXPECT_EQ(0, rc) << c.path << " (1 accepted, 2 another reason, 3 leaked, 142 blocked)";
    }
}

}  // namespace
