#include "download/DownloadDigest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace {

constexpr size_t kReadSize = 1 << 20;

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

std::string HexOf(const unsigned char* digest, unsigned int length) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0f];
    }
    return text;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string Md5OfFile(const std::string& path) {
    FdCloser file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return {};
    ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return {};
    std::vector<unsigned char> buffer(kReadSize);
    for (;;) {
        ssize_t n = ::read(file.fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return {};
        if (n == 0) break;
        if (EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n)) != 1) return {};
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return {};
    return HexOf(digest, length);
}

void Md5Stream::Free::operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }

Md5Stream::Md5Stream() : ctx_(EVP_MD_CTX_new()) {}
Md5Stream::~Md5Stream() = default;

void Md5Stream::Feed(uint64_t offset, const char* data, size_t size) {
    if (!ctx_) return;
    if (offset == 0) {
        bytes_ = 0;
        good_ = EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr) == 1;
    }
    if (!good_ || offset != bytes_) {
        good_ = false;
        return;
    }
    good_ = EVP_DigestUpdate(ctx_.get(), data, size) == 1;
    bytes_ += size;
}

std::string Md5Stream::Hex() {
    if (!ctx_ || !good_) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    good_ = false;  // finished: a second call has nothing to give
    if (EVP_DigestFinal_ex(ctx_.get(), digest, &length) != 1) return {};
    return HexOf(digest, length);
}

bool DigestMatches(std::string_view computed, std::string_view expected) {
    if (computed.empty() || expected.empty() || computed.size() != expected.size()) return false;
    for (size_t i = 0; i < computed.size(); ++i)
        if (LowerAscii(computed[i]) != LowerAscii(expected[i])) return false;
    return true;
}
