// The package's MD5 digest (OpenSSL) and its comparison with the digest the
// job was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

typedef struct evp_md_ctx_st EVP_MD_CTX;

// 32 lowercase hexadecimal digits of the file's MD5 digest; empty when the
// file cannot be opened or read to its end. Any thread.
std::string Md5OfFile(const std::string& path);

// Whether `computed` equals `expected`, ASCII letters compared without case.
// An empty text on either side never matches: an unreadable package must
// not pass against an empty expected digest.
bool DigestMatches(std::string_view computed, std::string_view expected);

// An MD5 digest fed in order, piece by piece: the package's digest follows
// the download's contiguous prefix. Fed by one thread at a time.
class Md5Stream {
public:
    Md5Stream();
    ~Md5Stream();
    Md5Stream(const Md5Stream&) = delete;
    Md5Stream& operator=(const Md5Stream&) = delete;

    // Bytes at `offset`: 0 starts over; any other offset than the end of
    // what was fed spoils the digest (Hex then gives "").
    void Feed(uint64_t offset, const char* data, size_t size);
    uint64_t Bytes() const { return bytes_; }
    // 32 lowercase hexadecimal digits; "" when spoiled or not available.
    std::string Hex();

private:
    struct Free {
        void operator()(EVP_MD_CTX* ctx) const;
    };
    std::unique_ptr<EVP_MD_CTX, Free> ctx_;
    uint64_t bytes_ = 0;
    bool good_ = false;
};
