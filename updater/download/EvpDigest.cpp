#include "download/EvpDigest.h"

#include <openssl/evp.h>

void EvpDigest::Free::operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }

EvpDigest::EvpDigest(const EVP_MD* md) : md_(md), ctx_(EVP_MD_CTX_new()) { Reset(); }

EvpDigest::~EvpDigest() = default;

bool EvpDigest::Reset() {
    good_ = ctx_ && md_ && EVP_DigestInit_ex(ctx_.get(), md_, nullptr) == 1;
    return good_;
}

void EvpDigest::Update(const void* data, size_t size) {
    if (good_) good_ = EVP_DigestUpdate(ctx_.get(), data, size) == 1;
}

std::string EvpDigest::FinishHex() {
    if (!good_) return {};
    good_ = false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), digest, &length) != 1) return {};
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0f];
    }
    return text;
}
