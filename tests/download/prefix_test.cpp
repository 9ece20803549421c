// The file's contiguous prefix handed to the owner as it arrives: hashed
// as it comes, it gives the finished file's MD5 for a fresh, a resumed, a
// single-connection and a restarted download.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "child_process.h"
#include "engine_fixture.h"
#include "fault_server.h"

namespace {

using download_test::EngineTest;
using download_test::FaultServer;
using download_test::HttpReply;
using download_test::HttpRequest;
using download_test::Pattern;
using download_test::Record;
using download_test::ServeFile;

const uint32_t kPart = 4194304;
const uint32_t kSize = 3 * kPart;

struct MdFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

std::string Hex(const unsigned char* bytes, unsigned int size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string Md5(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr);
    return Hex(digest, size);
}

// Follows what prefixData hands on: an MD5 over it, started again when the
// offset goes back to 0, and any call that does not continue the prefix.
class PrefixDigest {
public:
    PrefixDigest() { Reset(); }
    void operator()(uint64_t offset, const char* data, size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (offset == 0 && next_ > 0) {
            ++startsOver_;
            Reset();
        }
        if (offset != next_) ++outOfOrder_;
        EVP_DigestUpdate(ctx_.get(), data, size);
        next_ = offset + size;
    }
    std::string Final() {
        std::lock_guard<std::mutex> lock(mutex_);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_DigestFinal_ex(ctx_.get(), digest, &size);
        return Hex(digest, size);
    }
    uint64_t handed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return next_;
    }
    int startsOver() {
        std::lock_guard<std::mutex> lock(mutex_);
        return startsOver_;
    }
    int outOfOrder() {
        std::lock_guard<std::mutex> lock(mutex_);
        return outOfOrder_;
    }

private:
    void Reset() {
        ctx_.reset(EVP_MD_CTX_new());
        EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr);
        next_ = 0;
    }
    std::mutex mutex_;
    std::unique_ptr<EVP_MD_CTX, MdFree> ctx_;
    uint64_t next_ = 0;
    int startsOver_ = 0;
    int outOfOrder_ = 0;
};

class PrefixTest : public EngineTest {
protected:
    void Hash(CurlDownloader& engine, long stallSeconds = 60) {
        CurlDownloadHooks hooks = Hooks(stallSeconds);
        hooks.prefixData = [this](uint64_t offset, const char* data, size_t size) { digest(offset, data, size); };
        engine.SetHooks(hooks);
    }
    // What was handed on is the finished file, in one pass after `startsOver` restarts.
    void ExpectDigestOf(const std::string& file, int startsOver) {
        std::string result = tavlin_test::ReadFileText(Target());
        EXPECT_TRUE(result == file);
        EXPECT_EQ(digest.handed(), file.size());
        EXPECT_EQ(digest.outOfOrder(), 0);
        EXPECT_EQ(digest.startsOver(), startsOver);
        EXPECT_EQ(digest.Final(), Md5(result));
    }
    PrefixDigest digest;
};

TEST_F(PrefixTest, FreshDownloadInThreeParts) {
    const std::string data = Pattern(kSize, 21);
    // The first part arrives last, so the prefix waits for it.
    FaultServer server([&](const HttpRequest& r) {
        HttpReply reply = ServeFile(r, data);
        if (r.range == "bytes=0-4194303") reply.resetAfter = 4096;
        return reply;
    });
    CurlDownloader engine;
    Hash(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    ExpectDigestOf(data, 0);
}

TEST_F(PrefixTest, ResumedDownloadHandsOnWhatWasThereFirst) {
    const std::string data = Pattern(kSize, 22);
    const std::vector<Record> records = {{0, kPart, 1000}, {kPart, kPart, 0}, {2 * kPart, kPart, kPart}};
    std::string content(kSize, '\0');
    for (const auto& r : records) content.replace(r.start, r.done, data, r.start, r.done);
    ASSERT_TRUE(tavlin_test::WriteFileText(Target() + ".dltmp", content + download_test::Trailer(records, kSize)));
    FaultServer server([&](const HttpRequest& r) { return ServeFile(r, data); });
    CurlDownloader engine;
    Hash(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    ExpectDigestOf(data, 0);
}

TEST_F(PrefixTest, SingleConnectionThatStartsOver) {
    const std::string data = Pattern(kSize, 23);
    std::atomic<int> transfers{0};
    FaultServer server([&](const HttpRequest& r) {
        HttpReply reply = ServeFile(r, data, false);
        if (r.index > 0 && r.method == "GET" && ++transfers == 1) reply.resetAfter = 3 * 1048576;
        return reply;
    });
    CurlDownloader engine;
    Hash(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    ASSERT_EQ(transfers.load(), 2);
    // The reader may or may not have handed on part of the first attempt.
    std::string result = tavlin_test::ReadFileText(Target());
    EXPECT_TRUE(result == data);
    EXPECT_EQ(digest.handed(), data.size());
    EXPECT_EQ(digest.outOfOrder(), 0);
    EXPECT_LE(digest.startsOver(), 1);
    EXPECT_EQ(digest.Final(), Md5(result));
}

// The owner is slow to take the first bytes (held here until the second
// attempt has written well past them), and the second attempt's answer is
// another file of the same length, as from a server without validators:
// the digest still starts over, instead of going on from where the reader
// stood with bytes of the new answer after bytes of the old one.
TEST_F(PrefixTest, SingleConnectionThatStartsOverBehindASlowOwner) {
    const std::string first = Pattern(kSize, 31), second = Pattern(kSize, 32);
    std::atomic<int> transfers{0};
    FaultServer server([&](const HttpRequest& r) {
        if (r.index == 0 || r.method != "GET" || r.range == "bytes=1-1024") return ServeFile(r, first, false);
        HttpReply reply = ServeFile(r, ++transfers == 1 ? first : second, false);
        if (transfers == 1) reply.resetAfter = 3 * 1048576;
        return reply;
    });
    CurlDownloader engine;
    std::atomic<bool> held{true};
    CurlDownloadHooks hooks = Hooks();
    hooks.prefixData = [&](uint64_t offset, const char* data, size_t size) {
        // Bounded: a reader that is never released still ends the test.
        tavlin_test::WaitUntil(
            [&] { return !held || (transfers == 2 && engine.downloadedSize.load() >= 4 * 1048576); }, 60000);
        held = false;
        digest(offset, data, size);
    };
    engine.SetHooks(hooks);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    ASSERT_TRUE(RunToEnd(engine));
    ASSERT_EQ(transfers.load(), 2);
    ASSERT_TRUE(tavlin_test::ReadFileText(Target()) == second);
    EXPECT_EQ(digest.startsOver(), 1);
    EXPECT_EQ(digest.Final(), Md5(second));
}

TEST_F(PrefixTest, RestartAfterAChangedFileStartsTheDigestOver) {
    const download_test::FileVersion before{Pattern(kSize, 24), "\"a\"", ""};
    const download_test::FileVersion after{Pattern(kSize + 100, 25), "\"b\"", ""};
    int segmentRequests = 0;
    FaultServer server([&](const HttpRequest& r) {
        bool segment = download_test::IsSegmentGet(r, kSize);
        if (segment && ++segmentRequests > 3) return download_test::ServeVersion(r, after);
        HttpReply reply = download_test::ServeVersion(r, segmentRequests > 3 ? after : before);
        if (segment) reply.resetAfter = 1048576;  // the old file's first MiB is handed on
        return reply;
    });
    CurlDownloader engine;
    Hash(engine);
    ASSERT_TRUE(engine.Start(server.Url("/f.zip"), Target(), nullptr));
    bool stopped = false;
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return !engine.IsComplete(&stopped) && stopped; }, 60000));
    ASSERT_EQ(engine.EndReason(), DownloadEnd::Restart);
    ASSERT_TRUE(engine.Restart());
    ASSERT_TRUE(RunToEnd(engine));
    std::string result = tavlin_test::ReadFileText(Target());
    EXPECT_TRUE(result == after.body);
    EXPECT_EQ(digest.handed(), after.body.size());
    EXPECT_EQ(digest.outOfOrder(), 0);
    EXPECT_EQ(digest.Final(), Md5(after.body));
}

}  // namespace
