#include "download/DownloadDigest.h"

#include <vector>

#include "download/DigestWorker.h"
#include "download/DownloadFile.h"

namespace {

constexpr size_t kReadSize = 1 << 20;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

PackageDigests DigestsOfFile(const std::string& path, bool withSha256) {
    DownloadFile file = DownloadFile::OpenToRead(path);
    if (!file) return {};
    // Two buffers in turn: the SHA-256 reads one while the next is filled.
    // Declared before the stream, which may read them until it is gone.
    std::vector<char> buffers[2] = {std::vector<char>(kReadSize), std::vector<char>(kReadSize)};
    PackageDigestStream stream(withSha256);
    size_t turn = 0;
    uint64_t at = 0;
    // Offset 0 starts the digests even for an empty file.
    stream.Feed(0, buffers[0].data(), 0);
    for (;;) {
        std::vector<char>& buffer = buffers[turn];
        int64_t n = file.ReadAt(at, buffer.data(), buffer.size());
        if (n < 0) return {};
        if (n == 0) break;
        stream.Feed(at, buffer.data(), static_cast<size_t>(n));
        at += static_cast<uint64_t>(n);
        turn ^= 1;
    }
    return stream.Finish();
}

std::string DigestText(std::string_view digest) {
    std::string text(digest);
    for (char& c : text) c = LowerAscii(c);
    return text;
}

bool DigestMatches(std::string_view computed, std::string_view expected) {
    if (computed.empty() || expected.empty() || computed.size() != expected.size()) return false;
    for (size_t i = 0; i < computed.size(); ++i)
        if (LowerAscii(computed[i]) != LowerAscii(expected[i])) return false;
    return true;
}

PackageDigestStream::PackageDigestStream(bool withSha256)
    : md5_(HashKind::Md5), sha256_(withSha256 ? std::make_unique<DigestWorker>(HashKind::Sha256) : nullptr) {}

PackageDigestStream::~PackageDigestStream() = default;

void PackageDigestStream::Sync() {
    if (sha256_) sha256_->Wait();
}

void PackageDigestStream::Feed(uint64_t offset, const char* data, size_t size) {
    if (offset == 0) {
        Sync();
        bytes_ = 0;
        good_ = md5_.Reset() && (!sha256_ || sha256_->Reset());
    }
    if (!good_ || offset != bytes_) {
        good_ = false;
        return;
    }
    // Both digests read the same buffer at once, on two threads; the
    // SHA-256 may finish it while the caller fills the next.
    if (sha256_) sha256_->Post(data, size);
    md5_.Update(data, size);
    bytes_ += size;
}

PackageDigests PackageDigestStream::Finish() {
    Sync();
    PackageDigests out;
    if (!good_) return out;
    good_ = false;  // finished: a second call has nothing to give
    out.md5 = md5_.FinishHex();
    if (sha256_) out.sha256 = sha256_->FinishHex();
    // A digest that failed spoils the pair: neither may be trusted alone.
    if (out.md5.empty() || (sha256_ && out.sha256.empty())) return {};
    out.bytes = bytes_;
    return out;
}
