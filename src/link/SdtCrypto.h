#pragma once
// The link's cryptography on OpenSSL libcrypto: random nonces, HMAC-SHA256
// proofs, HKDF-SHA256 key derivation and AES-256-GCM frame sealing. Only the
// link uses it; no key material ever leaves these objects as text.
#include <cstddef>
#include <cstdint>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace sdt {

constexpr size_t kKeyLen = 32;
constexpr size_t kMacLen = 32;
constexpr size_t kTagLen = 16;
constexpr size_t kGcmIvLen = 12;

// False when the system's random source failed.
bool randomBytes(uint8_t* out, size_t n);
bool hmacSha256(const uint8_t* key, size_t keyLen, const uint8_t* data, size_t len,
                uint8_t out[kMacLen]);
// HKDF-SHA256 (RFC 5869) extract-and-expand.
bool hkdfSha256(const uint8_t* salt, size_t saltLen, const uint8_t* ikm, size_t ikmLen,
                const char* info, uint8_t* out, size_t outLen);
// Constant-time comparison.
bool sameBytes(const void* a, const void* b, size_t n);
// Overwrites memory the compiler may not optimise away.
void wipe(void* p, size_t n);

// One direction's AES-256-GCM state. The 96-bit nonce is 4 zero bytes and the
// 64-bit frame counter; each direction has its own key, so a nonce is never
// used twice under one key.
class Gcm {
  public:
    Gcm();
    ~Gcm();
    Gcm(const Gcm&) = delete;
    Gcm& operator=(const Gcm&) = delete;

    bool setKey(const uint8_t key[kKeyLen]);
    void clearKey();
    bool hasKey() const { return keyed_; }
    // in and out may be the same buffer.
    bool seal(uint64_t counter, const uint8_t* aad, size_t aadLen, const uint8_t* in, size_t len,
              uint8_t* out, uint8_t tag[kTagLen]);
    // The same in pieces, so that a large frame is encrypted or decrypted a
    // piece at a time while that piece is in cache: begin, update..., finish.
    // in and out may be the same buffer.
    bool sealBegin(uint64_t counter, const uint8_t* aad, size_t aadLen);
    bool sealUpdate(const uint8_t* in, size_t len, uint8_t* out);
    bool sealFinish(uint8_t tag[kTagLen]);
    bool openBegin(uint64_t counter, const uint8_t* aad, size_t aadLen);
    bool openUpdate(const uint8_t* in, size_t len, uint8_t* out);
    // False when the tag does not match.
    bool openFinish(const uint8_t tag[kTagLen]);
    // Authenticates without encrypting (GMAC): the header and the body are
    // both associated data; used when the link negotiated integrity only.
    bool mac(uint64_t counter, const uint8_t* aad, size_t aadLen, const uint8_t* body, size_t len,
             uint8_t tag[kTagLen]);
    bool verifyMac(uint64_t counter, const uint8_t* aad, size_t aadLen, const uint8_t* body,
                   size_t len, const uint8_t tag[kTagLen]);
    // False when the tag does not match (out then holds garbage).
    bool open(uint64_t counter, const uint8_t* aad, size_t aadLen, const uint8_t* in, size_t len,
              uint8_t* out, const uint8_t tag[kTagLen]);

  private:
    EVP_CIPHER_CTX* enc_ = nullptr;
    EVP_CIPHER_CTX* dec_ = nullptr;
    bool keyed_ = false;
};

}  // namespace sdt
