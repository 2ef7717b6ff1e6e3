#pragma once
// Secrets kept in the registry (section "Satchel"), enciphered with
// AES-256-GCM under a host key file that only root can read (0600, created on
// first use). The registry then never holds a secret in clear text, and a
// copy of the registry alone reveals nothing. No secret is ever logged or
// put into an exception text.
#include <string>

class JXPassword {
  public:
    // "gcm1:" + hex of nonce, cipher text and tag. 0, or -1 when the key file
    // cannot be made or read (the reason in *error when given).
    static int encrypt(const std::string& plain, std::string& stored, std::string* error = nullptr);
    // 0 when deciphered; -1 when the text is not one encrypt made, the key is
    // missing or another, or the text was changed.
    static int decrypt(const std::string& stored, std::string& plain, std::string* error = nullptr);

    // Stores or removes a secret under [Satchel] name. 0, or -1 with the
    // reason in *error when given.
    static int setSecret(const std::string& name, const std::string& plain,
                         std::string* error = nullptr);
    static int removeSecret(const std::string& name);
    static constexpr const char* kSection = "Satchel";

    // [Platform] sSecretKeyFile, else <install directory>/secret.key.
    static std::string keyFilePath();
};
