// flr secret: the value comes on standard input and lands enciphered.
#include <gtest/gtest.h>

#include "mgmt/JXPassword.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

TEST(FlrSecret, SetFromStandardInputAndRemove) {
    FLR_REQUIRE_TOOL();
    flrtest::ScopedRegistry reg;
    JXPlatformInfo::setString("Platform", "sSecretKeyFile", reg.dir() + "/secret.key");
    const std::vector<std::string> env{"FLR_REGISTRY=" + reg.path()};

    auto r = flrtest::runTool({"secret", "set", "Lukspassphrase_home"}, "my pass\n", env);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[Satchel] Lukspassphrase_home stored enciphered\n");
    std::string stored, plain;
    ASSERT_TRUE(JXPlatformInfo::getString("Satchel", "Lukspassphrase_home", stored));
    EXPECT_EQ(stored.find("my pass"), std::string::npos);
    ASSERT_EQ(JXPassword::decrypt(stored, plain), 0);
    EXPECT_EQ(plain, "my pass");

    r = flrtest::runTool({"secret", "set", "Lukspassphrase_home"}, "", env);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No value given for Lukspassphrase_home"), std::string::npos) << r.err;
    // A value on the command line is a usage error, not a stored secret.
    r = flrtest::runTool({"secret", "set", "Lukspassphrase_home", "oops"}, "", env);
    EXPECT_EQ(r.status, 2);

    r = flrtest::runTool({"secret", "rm", "Lukspassphrase_home"}, "", env);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(JXPlatformInfo::getString("Satchel", "Lukspassphrase_home", stored));
}

}  // namespace
