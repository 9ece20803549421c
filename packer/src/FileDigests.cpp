#include "packer/FileDigests.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace tavlin::packer {

namespace {

constexpr std::size_t kBlock = 1 << 20;

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Hex digest of the file, or "" with `error`; `size` gets the bytes read.
std::string HexDigest(const std::string& path, const EVP_MD* md, uint64_t& size, std::string& error) {
    const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!fd || !ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
        error = std::string("cannot read the package: ") + std::strerror(errno);
        return {};
    }
    std::vector<unsigned char> block(kBlock);
    size = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = std::string("cannot read the package: ") + std::strerror(errno);
            return {};
        }
        if (n == 0) break;
        if (EVP_DigestUpdate(ctx.get(), block.data(), static_cast<std::size_t>(n)) != 1) {
            error = "the digest failed";
            return {};
        }
        size += static_cast<uint64_t>(n);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
        error = "the digest failed";
        return {};
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

}  // namespace

bool DigestFile(const std::string& path, FileDigests& digests, std::string& error) {
    uint64_t md5Size = 0;
    std::string md5Error;
    {
        std::jthread md5([&] { digests.md5 = HexDigest(path, EVP_md5(), md5Size, md5Error); });
        digests.sha256 = HexDigest(path, EVP_sha256(), digests.size, error);
    }
    if (!error.empty()) return false;
    if (!md5Error.empty()) {
        error = md5Error;
        return false;
    }
    if (md5Size != digests.size) {
        error = "the package changed while its digests were computed";
        return false;
    }
    return true;
}

}  // namespace tavlin::packer
