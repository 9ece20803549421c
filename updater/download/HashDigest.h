// One message digest (MD5 or SHA-256) fed piece by piece, through the
// system's library for it: OpenSSL (HashDigest_openssl.cpp), on Windows CNG
// (HashDigest_bcrypt.cpp).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

enum class HashKind { Md5, Sha256 };

class HashDigest {
public:
    // Ready to be fed.
    explicit HashDigest(HashKind kind);
    ~HashDigest();
    HashDigest(const HashDigest&) = delete;
    HashDigest& operator=(const HashDigest&) = delete;

    // Starts over with no bytes; false when the library refuses.
    bool Reset();
    // A failed update spoils the digest until the next Reset.
    void Update(const void* data, size_t size);
    // Lowercase hexadecimal digits of the digest; "" when spoiled. Finishes
    // the digest: it must be Reset before it is fed again.
    std::string FinishHex();

private:
    struct State;
    struct Free {
        void operator()(State* state) const;
    };
    HashKind kind_;
    std::unique_ptr<State, Free> state_;
    bool good_ = false;
};

// Lowercase hexadecimal digits of `size` bytes.
std::string HexOf(const unsigned char* bytes, size_t size);
