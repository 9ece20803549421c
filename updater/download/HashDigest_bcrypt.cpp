// CNG hash objects: one BCrypt hash handle per digest, made anew by Reset
// from the algorithm provider opened once per process.
#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "download/HashDigest.h"

namespace {

// A provider of each algorithm, opened on first use and kept for the
// process (closing it at exit would race hashes on other threads).
BCRYPT_ALG_HANDLE Provider(HashKind kind) {
    static const BCRYPT_ALG_HANDLE md5 = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        return BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&handle, BCRYPT_MD5_ALGORITHM, nullptr, 0)) ? handle
                                                                                                      : nullptr;
    }();
    static const BCRYPT_ALG_HANDLE sha256 = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        return BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))
                   ? handle
                   : nullptr;
    }();
    return kind == HashKind::Md5 ? md5 : sha256;
}

DWORD ULongProperty(BCRYPT_HANDLE handle, const wchar_t* name) {
    DWORD value = 0;
    ULONG got = 0;
    if (!BCRYPT_SUCCESS(::BCryptGetProperty(handle, name, reinterpret_cast<PUCHAR>(&value), sizeof value, &got, 0)))
        return 0;
    return value;
}

}  // namespace

struct HashDigest::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<UCHAR> object;  // the hash object's memory, owned by us
    void Drop() {
        if (hash) ::BCryptDestroyHash(hash);
        hash = nullptr;
    }
};

void HashDigest::Free::operator()(State* state) const {
    state->Drop();
    delete state;
}

HashDigest::HashDigest(HashKind kind) : kind_(kind), state_(new State) { Reset(); }

HashDigest::~HashDigest() = default;

bool HashDigest::Reset() {
    state_->Drop();
    good_ = false;
    BCRYPT_ALG_HANDLE provider = Provider(kind_);
    if (!provider) return false;
    const DWORD objectSize = ULongProperty(provider, BCRYPT_OBJECT_LENGTH);
    if (objectSize == 0) return false;
    state_->object.assign(objectSize, 0);
    good_ = BCRYPT_SUCCESS(::BCryptCreateHash(provider, &state_->hash, state_->object.data(), objectSize, nullptr,
                                              0, 0));
    if (!good_) state_->hash = nullptr;
    return good_;
}

void HashDigest::Update(const void* data, size_t size) {
    const UCHAR* at = static_cast<const UCHAR*>(data);
    while (good_ && size > 0) {
        const ULONG piece = size > (1u << 30) ? (1u << 30) : static_cast<ULONG>(size);
        good_ = BCRYPT_SUCCESS(::BCryptHashData(state_->hash, const_cast<PUCHAR>(at), piece, 0));
        at += piece;
        size -= piece;
    }
}

std::string HashDigest::FinishHex() {
    if (!good_) return {};
    good_ = false;
    const DWORD length = ULongProperty(state_->hash, BCRYPT_HASH_LENGTH);
    UCHAR digest[64];
    if (length == 0 || length > sizeof digest) return {};
    const bool done = BCRYPT_SUCCESS(::BCryptFinishHash(state_->hash, digest, length, 0));
    state_->Drop();
    return done ? HexOf(digest, length) : std::string();
}
