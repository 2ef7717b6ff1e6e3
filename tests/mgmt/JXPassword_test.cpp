// Registry secrets enciphered under the host key file.
#include "mgmt/JXPassword.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

struct PasswordFixture : ::testing::Test {
    flrtest::ScopedRegistry reg;
    std::string keyFile = reg.dir() + "/keys/secret.key";
    void SetUp() override { JXPlatformInfo::setString("Platform", "sSecretKeyFile", keyFile); }
};

TEST_F(PasswordFixture, RoundTripUnderAPrivateKeyFile) {
    const std::string secrets[] = {"pa$$ \"word\" $(id)", "", std::string("nul\0byte", 8),
                                   std::string(1000, 'x')};
    for (const auto& plain : secrets) {
        std::string stored, back;
        ASSERT_EQ(JXPassword::encrypt(plain, stored), 0);
        EXPECT_EQ(stored.rfind("gcm1:", 0), 0u);
        if (!plain.empty()) {
            EXPECT_EQ(stored.find(plain), std::string::npos);
        }
        ASSERT_EQ(JXPassword::decrypt(stored, back), 0);
        EXPECT_EQ(back, plain);
    }
    struct stat st {};
    ASSERT_EQ(::stat(keyFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 32);
    // Two values of one secret differ (a fresh nonce each).
    std::string a, b;
    JXPassword::encrypt("same", a);
    JXPassword::encrypt("same", b);
    EXPECT_NE(a, b);
}

TEST_F(PasswordFixture, RefusesChangedTextsOtherKeysAndOpenKeyFiles) {
    std::string stored, plain, error;
    ASSERT_EQ(JXPassword::setSecret("Lukspassphrase", "secret1", &error), 0) << error;
    ASSERT_TRUE(JXPlatformInfo::getString("Satchel", "Lukspassphrase", stored));
    ASSERT_EQ(JXPassword::decrypt(stored, plain), 0);
    EXPECT_EQ(plain, "secret1");

    std::string changed = stored;
    changed.back() = changed.back() == '0' ? '1' : '0';
    for (const std::string& bad :
         {changed, std::string("secret1"), std::string("gcm1:zz"), stored.substr(0, 20)}) {
        EXPECT_EQ(JXPassword::decrypt(bad, plain, &error), -1) << bad;
        EXPECT_EQ(error.find("secret1"), std::string::npos);
    }

    ASSERT_EQ(::chmod(keyFile.c_str(), 0644), 0);
    EXPECT_EQ(JXPassword::decrypt(stored, plain, &error), -1);
    EXPECT_NE(error.find("readable by its owner only"), std::string::npos) << error;
    ASSERT_EQ(::unlink(keyFile.c_str()), 0);
    EXPECT_EQ(JXPassword::decrypt(stored, plain, &error), -1);  // not made again to decrypt
    std::string other;
    ASSERT_EQ(JXPassword::encrypt("x", other), 0);  // a new key
    EXPECT_EQ(JXPassword::decrypt(stored, plain, &error), -1);

    EXPECT_EQ(JXPassword::removeSecret("Lukspassphrase"), 0);
    EXPECT_FALSE(JXPlatformInfo::getString("Satchel", "Lukspassphrase", stored));
}

}  // namespace
