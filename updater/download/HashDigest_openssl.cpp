#include <openssl/evp.h>

#include "download/HashDigest.h"

struct HashDigest::State {
    EVP_MD_CTX* ctx = nullptr;
};

void HashDigest::Free::operator()(State* state) const {
    EVP_MD_CTX_free(state->ctx);
    delete state;
}

HashDigest::HashDigest(HashKind kind) : kind_(kind), state_(new State{EVP_MD_CTX_new()}) { Reset(); }

HashDigest::~HashDigest() = default;

bool HashDigest::Reset() {
    const EVP_MD* md = kind_ == HashKind::Md5 ? EVP_md5() : EVP_sha256();
    good_ = state_->ctx && md && EVP_DigestInit_ex(state_->ctx, md, nullptr) == 1;
    return good_;
}

void HashDigest::Update(const void* data, size_t size) {
    if (good_) good_ = EVP_DigestUpdate(state_->ctx, data, size) == 1;
}

std::string HashDigest::FinishHex() {
    if (!good_) return {};
    good_ = false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state_->ctx, digest, &length) != 1) return {};
    return HexOf(digest, length);
}
