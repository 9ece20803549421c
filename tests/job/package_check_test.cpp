// The package's SHA-256 beside its MD5 and its signature: the two digests
// from one read, the verdict on every kind of signature, and the job that
// deletes a package failing either and reports it as a digest mismatch.
#include <openssl/evp.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "download/DownloadDigest.h"
#include "download/PackageCheck.h"
#include "job_fixture.h"
#include "signing/PackageSignature.h"

namespace fs = std::filesystem;
using download_test::HttpRequest;
using tavlin::signing::TrustedKeys;
using namespace job_test;

namespace {

constexpr int kJobBoundMs = 30000;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Sha256Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0f];
    }
    return text;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The test-only key pairs A and B (tests/update_keys).
std::string KeyFile(const std::string& name) { return std::string(TAVLIN_TEST_KEYS_DIR) + "/" + name; }

std::shared_ptr<const TrustedKeys> Trusting(const std::string& pemFile) {
    std::string error;
    auto keys = TrustedKeys::FromPem(ReadText(KeyFile(pemFile)), error);
    EXPECT_TRUE(keys) << error;
    return keys ? std::make_shared<const TrustedKeys>(std::move(*keys)) : nullptr;
}

// The signature by test key `key` ("a" or "b") of a package with these bytes.
std::string SignatureOf(const std::string& data, const std::string& key) {
    std::string signature, error;
    EXPECT_TRUE(tavlin::signing::SignStatement(ReadText(KeyFile("test-only-key-" + key + ".pem")),
                                               tavlin::signing::SignedStatement(Sha256Hex(data), data.size()),
                                               signature, error))
        << error;
    return signature;
}

TEST(PackageDigests, BothFromOneReadOfTheFileAndTheStream) {
    tavlin_test::TempDir dir("tavlin-digests-");
    std::ofstream(dir / "abc") << "abc";
    std::ofstream(dir / "empty");
    // Several reads' worth, and not a whole number of them.
    const std::string big = PackageBytes(3 * 1024 * 1024 + 5);
    std::ofstream(dir / "big", std::ios::binary) << big;

    const PackageDigests abc = DigestsOfFile(dir / "abc", true);
    EXPECT_EQ(abc.md5, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(abc.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(abc.bytes, 3u);
    const PackageDigests empty = DigestsOfFile(dir / "empty", true);
    EXPECT_EQ(empty.md5, "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(empty.sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const PackageDigests whole = DigestsOfFile(dir / "big", true);
    EXPECT_EQ(whole.md5, Md5Hex(big));
    EXPECT_EQ(whole.sha256, Sha256Hex(big));
    EXPECT_EQ(whole.bytes, big.size());
    // Without SHA-256 only the MD5 is computed, as before.
    EXPECT_EQ(DigestsOfFile(dir / "big", false).sha256, "");
    EXPECT_EQ(DigestsOfFile(dir / "big", false).md5, Md5Hex(big));
    EXPECT_EQ(DigestsOfFile(dir / "missing", true).md5, "");
    EXPECT_EQ(DigestsOfFile(dir.path(), true).sha256, "") << "a folder opens but cannot be read";

    // Fed in uneven pieces, started over once from the first byte.
    PackageDigestStream stream(true);
    stream.Feed(0, big.data(), 1000);
    stream.Feed(0, big.data(), 777);
    for (size_t at = 777; at < big.size();) {
        const size_t n = std::min<size_t>(big.size() - at, 300001);
        stream.Feed(at, big.data() + at, n);
        at += n;
    }
    const PackageDigests streamed = stream.Finish();
    EXPECT_EQ(streamed.md5, whole.md5);
    EXPECT_EQ(streamed.sha256, whole.sha256);
    EXPECT_EQ(streamed.bytes, big.size());
    EXPECT_EQ(stream.Finish().sha256, "") << "a finished stream gives nothing twice";

    // A gap spoils both digests.
    PackageDigestStream gap(true);
    gap.Feed(0, big.data(), 10);
    gap.Feed(11, big.data() + 11, 10);
    const PackageDigests spoiled = gap.Finish();
    EXPECT_EQ(spoiled.md5, "");
    EXPECT_EQ(spoiled.sha256, "");
}

struct VerdictCase {
    const char* name;
    const char* keys;  // PEM file of the trusted keys; null: a build without keys
    // The job's SHA-256 and signature for a package with these bytes.
    std::string (*sha256)(const std::string& data);
    std::string (*signature)(const std::string& data);
    PackageVerdict verdict;
};

std::string None(const std::string&) { return {}; }
std::string RightSha(const std::string& data) { return Sha256Hex(data); }
std::string ByA(const std::string& data) { return SignatureOf(data, "a"); }
std::string ByB(const std::string& data) { return SignatureOf(data, "b"); }

const VerdictCase kVerdictCases[] = {
    {"Md5Only", nullptr, None, None, PackageVerdict::Accepted},
    {"Sha256InCapitals", nullptr, [](const std::string& d) { return Upper(Sha256Hex(d)); }, None,
     PackageVerdict::Accepted},
    {"WrongSha256", nullptr, [](const std::string& d) { return Sha256Hex(d + "x"); }, None,
     PackageVerdict::Sha256Mismatch},
    {"ShortSha256", nullptr, [](const std::string& d) { return Sha256Hex(d).substr(1); }, None,
     PackageVerdict::Sha256Mismatch},
    // A build without keys ignores the signature, whatever it holds.
    {"NoKeysIgnoreAGarbledSignature", nullptr, None, [](const std::string&) { return std::string("garbled"); },
     PackageVerdict::Accepted},
    {"GoodSignature", "test-only-key-a.pub.pem", None, ByA, PackageVerdict::Accepted},
    {"GoodSignatureAndSha256", "test-only-key-a.pub.pem", RightSha, ByA, PackageVerdict::Accepted},
    {"GoodSignatureWrongSha256", "test-only-key-a.pub.pem", [](const std::string& d) { return Sha256Hex(d + "x"); },
     ByA, PackageVerdict::Sha256Mismatch},
    {"NoSignature", "test-only-key-a.pub.pem", None, None, PackageVerdict::SignatureMissing},
    {"SignatureOfAnotherPackage", "test-only-key-a.pub.pem", None,
     [](const std::string& d) { return SignatureOf(d + "x", "a"); }, PackageVerdict::SignatureInvalid},
    // The same digest with another size: the statement names both.
    {"SignatureOfAnotherSize", "test-only-key-a.pub.pem", None,
     [](const std::string& d) {
         std::string signature, error;
         tavlin::signing::SignStatement(ReadText(KeyFile("test-only-key-a.pem")),
                                        tavlin::signing::SignedStatement(Sha256Hex(d), d.size() + 1), signature,
                                        error);
         return signature;
     },
     PackageVerdict::SignatureInvalid},
    {"TruncatedSignature", "test-only-key-a.pub.pem", None, [](const std::string& d) { return ByA(d).substr(0, 60); },
     PackageVerdict::SignatureInvalid},
    {"SignatureByAnUntrustedKey", "test-only-key-a.pub.pem", None, ByB, PackageVerdict::SignatureInvalid},
    {"TwoKeysFirst", "test-only-keys-ab.pub.pem", None, ByA, PackageVerdict::Accepted},
    {"TwoKeysSecond", "test-only-keys-ab.pub.pem", None, ByB, PackageVerdict::Accepted},
};

void PrintTo(const VerdictCase& c, std::ostream* out) { *out << c.name; }

class PackageVerdictTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(PackageVerdictTest, OfADownloadedPackage) {
    const VerdictCase& c = GetParam();
    const std::string data = PackageBytes(70000);
    PackageDigests computed{Md5Hex(data), Sha256Hex(data), data.size()};
    const auto keys = c.keys ? Trusting(c.keys) : nullptr;
    const PackageExpectations expected{Md5Hex(data), c.sha256(data), c.signature(data)};
    EXPECT_EQ(NeedsSha256(expected, keys.get()), c.keys != nullptr || !expected.sha256.empty());
    EXPECT_EQ(CheckPackage(computed, expected, keys.get()), c.verdict) << VerdictText(CheckPackage(computed, expected, keys.get()));

    // A wrong MD5 fails first, whatever else holds.
    const PackageExpectations wrongMd5{Md5Hex(data + "x"), expected.sha256, expected.signature};
    EXPECT_EQ(CheckPackage(computed, wrongMd5, keys.get()), PackageVerdict::Md5Mismatch);
    // A SHA-256 that could not be computed never passes a check that needs it.
    if (NeedsSha256(expected, keys.get())) {
        computed.sha256.clear();
        EXPECT_NE(CheckPackage(computed, expected, keys.get()), PackageVerdict::Accepted);
    }
}

INSTANTIATE_TEST_SUITE_P(Signature, PackageVerdictTest, ::testing::ValuesIn(kVerdictCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The job downloads the package, takes both digests while it arrives and
// treats a failed SHA-256 or signature as it treats a failed MD5: the
// package deleted, the progress back to 0, one failure notification.
struct JobCase {
    const char* name;
    const char* keys;
    std::string (*sha256)(const std::string& data);
    std::string (*signature)(const std::string& data);
    bool finishes;
};

const JobCase kJobCases[] = {
    {"RightSha256", nullptr, RightSha, None, true},
    {"WrongSha256", nullptr, [](const std::string& d) { return Sha256Hex(d + "x"); }, None, false},
    {"Signed", "test-only-key-a.pub.pem", None, ByA, true},
    {"Unsigned", "test-only-key-a.pub.pem", None, None, false},
    {"SignedByAnUntrustedKey", "test-only-key-a.pub.pem", RightSha, ByB, false},
};

void PrintTo(const JobCase& c, std::ostream* out) { *out << c.name; }

// Whether a file of this name was ever created or moved into `folder`
// while the watch lasted: a package that fails its checks must never stand
// where the launcher would apply it, not even for a moment.
class NameWatch {
public:
    NameWatch(const fs::path& folder, std::string name)
        : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), name_(std::move(name)) {
        EXPECT_GE(fd_, 0);
        if (fd_ >= 0) {
            EXPECT_GE(::inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_MOVED_TO), 0);
        }
    }
    ~NameWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    NameWatch(const NameWatch&) = delete;
    NameWatch& operator=(const NameWatch&) = delete;

    bool Appeared() {
        alignas(inotify_event) char buffer[16384];
        for (int reads = 0; reads < 10000; ++reads) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len && name_ == event->name) seen_ = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return seen_;
    }

private:
    int fd_;
    std::string name_;
    bool seen_ = false;
};

class JobPackageCheckTest : public JobTest, public ::testing::WithParamInterface<JobCase> {};

TEST_P(JobPackageCheckTest, FinishesOnlyWhenEveryCheckPasses) {
    SetUpLab(true);
    if (IsSkipped()) return;
    const JobCase& c = GetParam();
    const std::string package = PackageBytes(3 * 1024 * 1024 + 17);
    fs::copy_file(INSTALL_ZEB_APP, dir / "InstallZebApp.dll");
    const auto keys = c.keys ? Trusting(c.keys) : nullptr;
    prepareJob = [&](Downloader& j) {
        j.expectedSha256 = c.sha256(package);
        j.signature = c.signature(package);
        j.trustedKeys = keys;
    };
    NameWatch watch(fs::path(Package()).parent_path(), fs::path(Package()).filename().string());
    StartJob([package](const HttpRequest& r) { return download_test::ServeFile(r, package); }, Md5Hex(package));
    ASSERT_TRUE(job->WaitDone(kJobBoundMs)) << "the job did not end";

    EXPECT_EQ(job->finished.load(), c.finishes);
    EXPECT_EQ(watch.Appeared(), c.finishes);
    EXPECT_EQ(fs::exists(dir / "InstallZebApp.registered"), c.finishes);
    if (c.finishes) {
        EXPECT_EQ(ReadText(Package()), package);
        EXPECT_EQ(events->Failures(), 0u);
        return;
    }
    EXPECT_FALSE(fs::exists(Package())) << "a package that failed its checks must be deleted";
    EXPECT_FALSE(fs::exists(Package() + ".dltmp")) << "nor kept to be resumed";
    EXPECT_EQ(job->progress.downloadedBytes.load(), 0);
    EXPECT_EQ(job->progress.totalBytes.load(), static_cast<int64_t>(package.size()));
    ASSERT_TRUE(events->WaitFor([](const auto& e) { return !e.empty(); }, 5000));
    EXPECT_EQ(events->Failures(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Package, JobPackageCheckTest, ::testing::ValuesIn(kJobCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
