// The package's digests (OpenSSL): MD5 always, SHA-256 when the job asks
// for it; both from one read of the bytes, SHA-256 on a thread of its own.
// And the comparison of a digest with the one the job was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "download/HashDigest.h"

class DigestWorker;

// Lowercase hexadecimal digests of a package and the bytes they cover;
// a digest not asked for, or not available, is "".
struct PackageDigests {
    std::string md5;
    std::string sha256;
    uint64_t bytes = 0;
};

// The file's digests from one read of it; both "" when the file cannot be
// opened or read to its end. Any thread.
PackageDigests DigestsOfFile(const std::string& path, bool withSha256);
inline std::string Md5OfFile(const std::string& path) { return DigestsOfFile(path, false).md5; }

// Whether `computed` equals `expected`, ASCII letters compared without case.
// An empty text on either side never matches: an unreadable package must
// not pass against an empty expected digest.
bool DigestMatches(std::string_view computed, std::string_view expected);

// `digest` in the one case DigestMatches sees in it: ASCII letters lowered.
std::string DigestText(std::string_view digest);

// The package's digests fed in order, piece by piece: they follow the
// download's contiguous prefix. Fed by one thread at a time.
class PackageDigestStream {
public:
    explicit PackageDigestStream(bool withSha256);
    ~PackageDigestStream();
    PackageDigestStream(const PackageDigestStream&) = delete;
    PackageDigestStream& operator=(const PackageDigestStream&) = delete;

    // Bytes at `offset`: 0 starts over; any other offset than the end of
    // what was fed spoils the digests (Finish then gives "" for them).
    // The SHA-256 may still read `data` after Feed has returned: it must
    // stay as it is until the next Feed, Sync or Finish returns.
    void Feed(uint64_t offset, const char* data, size_t size);
    // Returns once nothing fed is read any more. Before fed bytes go away.
    void Sync();
    uint64_t Bytes() const { return bytes_; }
    // The digests of what was fed; "" when spoiled. Once: a second call
    // gives "".
    PackageDigests Finish();

private:
    HashDigest md5_;
    std::unique_ptr<DigestWorker> sha256_;  // null when not asked for
    uint64_t bytes_ = 0;
    bool good_ = false;
};
