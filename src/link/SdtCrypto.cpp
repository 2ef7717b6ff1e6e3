#include "SdtCrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>

#include "platform/JxCoding.h"

namespace sdt {

bool randomBytes(uint8_t* out, size_t n) {
    return n <= INT_MAX && RAND_bytes(out, static_cast<int>(n)) == 1;
}

bool hmacSha256(const uint8_t* key, size_t keyLen, const uint8_t* data, size_t len,
                uint8_t out[kMacLen]) {
    unsigned int outLen = 0;
    return keyLen <= INT_MAX &&
           HMAC(EVP_sha256(), key, static_cast<int>(keyLen), data, len, out, &outLen) != nullptr &&
           outLen == kMacLen;
}

bool hkdfSha256(const uint8_t* salt, size_t saltLen, const uint8_t* ikm, size_t ikmLen,
                const char* info, uint8_t* out, size_t outLen) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    if (!ctx) return false;
    size_t len = outLen;
    const size_t infoLen = std::strlen(info);
    bool ok = saltLen <= INT_MAX && ikmLen <= INT_MAX && infoLen <= INT_MAX &&
              EVP_PKEY_derive_init(ctx) > 0 && EVP_PKEY_CTX_set_hkdf_md(ctx, EVP_sha256()) > 0 &&
              EVP_PKEY_CTX_set1_hkdf_salt(ctx, salt, static_cast<int>(saltLen)) > 0 &&
              EVP_PKEY_CTX_set1_hkdf_key(ctx, ikm, static_cast<int>(ikmLen)) > 0 &&
              EVP_PKEY_CTX_add1_hkdf_info(ctx, reinterpret_cast<const unsigned char*>(info),
                                          static_cast<int>(infoLen)) > 0 &&
              EVP_PKEY_derive(ctx, out, &len) > 0 && len == outLen;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

bool sameBytes(const void* a, const void* b, size_t n) {
    return CRYPTO_memcmp(a, b, n) == 0;
}

void wipe(void* p, size_t n) {
    OPENSSL_cleanse(p, n);
}

namespace {

void makeIv(uint64_t counter, uint8_t iv[kGcmIvLen]) {
    std::memset(iv, 0, 4);
    jx::storeBE64(iv + 4, counter);
}

// EVP update lengths are ints; frames are capped far below, but stay honest.
bool fitsInt(size_t n) {
    return n <= static_cast<size_t>(INT_MAX);
}

}  // namespace

Gcm::Gcm() : enc_(EVP_CIPHER_CTX_new()), dec_(EVP_CIPHER_CTX_new()) {}

Gcm::~Gcm() {
    EVP_CIPHER_CTX_free(enc_);
    EVP_CIPHER_CTX_free(dec_);
}

bool Gcm::setKey(const uint8_t key[kKeyLen]) {
    keyed_ = false;
    if (!enc_ || !dec_) return false;
    if (EVP_EncryptInit_ex(enc_, EVP_aes_256_gcm(), nullptr, key, nullptr) != 1 ||
        EVP_DecryptInit_ex(dec_, EVP_aes_256_gcm(), nullptr, key, nullptr) != 1)
        return false;
    keyed_ = true;
    return true;
}

void Gcm::clearKey() {
    // Resetting the contexts drops the expanded key schedule.
    if (enc_) EVP_CIPHER_CTX_reset(enc_);
    if (dec_) EVP_CIPHER_CTX_reset(dec_);
    keyed_ = false;
}

bool Gcm::sealBegin(uint64_t counter, const uint8_t* aad, size_t aadLen) {
    if (!keyed_ || !fitsInt(aadLen)) return false;
    uint8_t iv[kGcmIvLen];
    makeIv(counter, iv);
    int n = 0;
    return EVP_EncryptInit_ex(enc_, nullptr, nullptr, nullptr, iv) == 1 &&
           EVP_EncryptUpdate(enc_, nullptr, &n, aad, static_cast<int>(aadLen)) == 1;
}

bool Gcm::sealUpdate(const uint8_t* in, size_t len, uint8_t* out) {
    int n = 0;
    return fitsInt(len) &&
           (len == 0 || EVP_EncryptUpdate(enc_, out, &n, in, static_cast<int>(len)) == 1);
}

bool Gcm::sealFinish(uint8_t tag[kTagLen]) {
    uint8_t none[16];
    int n = 0;
    return EVP_EncryptFinal_ex(enc_, none, &n) == 1 &&
           EVP_CIPHER_CTX_ctrl(enc_, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagLen), tag) == 1;
}

bool Gcm::openBegin(uint64_t counter, const uint8_t* aad, size_t aadLen) {
    if (!keyed_ || !fitsInt(aadLen)) return false;
    uint8_t iv[kGcmIvLen];
    makeIv(counter, iv);
    int n = 0;
    return EVP_DecryptInit_ex(dec_, nullptr, nullptr, nullptr, iv) == 1 &&
           EVP_DecryptUpdate(dec_, nullptr, &n, aad, static_cast<int>(aadLen)) == 1;
}

bool Gcm::openUpdate(const uint8_t* in, size_t len, uint8_t* out) {
    int n = 0;
    return fitsInt(len) &&
           (len == 0 || EVP_DecryptUpdate(dec_, out, &n, in, static_cast<int>(len)) == 1);
}

bool Gcm::openFinish(const uint8_t tag[kTagLen]) {
    uint8_t tagCopy[kTagLen];
    std::memcpy(tagCopy, tag, kTagLen);
    uint8_t none[16];
    int n = 0;
    return EVP_CIPHER_CTX_ctrl(dec_, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagLen), tagCopy) ==
               1 &&
           EVP_DecryptFinal_ex(dec_, none, &n) == 1;
}

bool Gcm::seal(uint64_t counter, const uint8_t* aad, size_t aadLen, const uint8_t* in, size_t len,
               uint8_t* out, uint8_t tag[kTagLen]) {
    return sealBegin(counter, aad, aadLen) && sealUpdate(in, len, out) && sealFinish(tag);
}

bool Gcm::open(uint64_t counter, const uint8_t* aad, size_t aadLen, const uint8_t* in, size_t len,
               uint8_t* out, const uint8_t tag[kTagLen]) {
    return openBegin(counter, aad, aadLen) && openUpdate(in, len, out) && openFinish(tag);
}

bool Gcm::mac(uint64_t counter, const uint8_t* aad, size_t aadLen, const uint8_t* body, size_t len,
              uint8_t tag[kTagLen]) {
    if (!keyed_ || !fitsInt(len) || !fitsInt(aadLen)) return false;
    uint8_t iv[kGcmIvLen];
    makeIv(counter, iv);
    int n = 0;
    uint8_t none[16];
    if (EVP_EncryptInit_ex(enc_, nullptr, nullptr, nullptr, iv) != 1) return false;
    if (EVP_EncryptUpdate(enc_, nullptr, &n, aad, static_cast<int>(aadLen)) != 1) return false;
    if (len > 0 && EVP_EncryptUpdate(enc_, nullptr, &n, body, static_cast<int>(len)) != 1)
        return false;
    if (EVP_EncryptFinal_ex(enc_, none, &n) != 1) return false;
    return EVP_CIPHER_CTX_ctrl(enc_, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagLen), tag) == 1;
}

bool Gcm::verifyMac(uint64_t counter, const uint8_t* aad, size_t aadLen, const uint8_t* body,
                    size_t len, const uint8_t tag[kTagLen]) {
    if (!keyed_ || !fitsInt(len) || !fitsInt(aadLen)) return false;
    uint8_t iv[kGcmIvLen];
    makeIv(counter, iv);
    uint8_t tagCopy[kTagLen];
    std::memcpy(tagCopy, tag, kTagLen);
    int n = 0;
    uint8_t none[16];
    if (EVP_DecryptInit_ex(dec_, nullptr, nullptr, nullptr, iv) != 1) return false;
    if (EVP_DecryptUpdate(dec_, nullptr, &n, aad, static_cast<int>(aadLen)) != 1) return false;
    if (len > 0 && EVP_DecryptUpdate(dec_, nullptr, &n, body, static_cast<int>(len)) != 1)
        return false;
    if (EVP_CIPHER_CTX_ctrl(dec_, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagLen), tagCopy) != 1)
        return false;
    return EVP_DecryptFinal_ex(dec_, none, &n) == 1;
}

}  // namespace sdt
