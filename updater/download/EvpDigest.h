// One OpenSSL message digest (MD5, SHA-256, ...) fed piece by piece.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

typedef struct evp_md_st EVP_MD;
typedef struct evp_md_ctx_st EVP_MD_CTX;

class EvpDigest {
public:
    // `md`: EVP_md5(), EVP_sha256(), ... Ready to be fed.
    explicit EvpDigest(const EVP_MD* md);
    ~EvpDigest();
    EvpDigest(const EvpDigest&) = delete;
    EvpDigest& operator=(const EvpDigest&) = delete;

    // Starts over with no bytes; false when OpenSSL refuses.
    bool Reset();
    // A failed update spoils the digest until the next Reset.
    void Update(const void* data, size_t size);
    // Lowercase hexadecimal digits of the digest; "" when spoiled. Finishes
    // the digest: it must be Reset before it is fed again.
    std::string FinishHex();

private:
    struct Free {
        void operator()(EVP_MD_CTX* ctx) const;
    };
    const EVP_MD* md_;
    std::unique_ptr<EVP_MD_CTX, Free> ctx_;
    bool good_ = false;
};
