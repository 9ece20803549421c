// The download job under Wine against the fault server (with-fault-server.sh):
// the package fetched into the work folder, its MD5 and SHA-256 taken
// through CNG while it arrives, the component registered when every check
// passes, and a package that fails one deleted and reported once. A
// signature is trusted only where it can be checked: with the key set that
// unreadable keys leave, a package carrying a real signature is refused.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "download/zipDownloader.h"
#include "known_signature.h"
#include "win_test_support.h"

namespace {

using win_test::Exists;
using win_test::ReadWhole;
using win_test::TempFolder;
using win_test::WriteWhole;

class TestJob : public Downloader {
public:
    TestJob(std::string url, std::string md5) : Downloader(std::move(url), std::move(md5), false) {}
    ~TestJob() override { Release(); }
    void DoInstall() override {}
};

// A package with known digests: a million times "a".
const std::string kPackage(1000000, 'a');
constexpr char kMd5[] = "7707d6ae4e027c70eea2a935c2296f21";
constexpr char kSha256[] = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

class JobTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(win_test::PrepareEngine("winJob")); }

    void SetUp() override {
        const std::string url = win_test::Env("TAVLIN_TEST_FAULT_URL");
        const std::string serverDir = win_test::Env("TAVLIN_TEST_FAULT_DIR");
        ASSERT_FALSE(url.empty() || serverDir.empty()) << "run through with-fault-server.sh, which starts the server";
        ASSERT_TRUE(WriteWhole(serverDir + "\\package.zip", kPackage));
        url_ = url + "/package.zip";
    }

    std::string url_;
};

TEST_F(JobTest, RegistersOnlyAPackageThatPassesEveryCheck) {
    const auto noKeys = std::shared_ptr<const tavlin::signing::TrustedKeys>();
    const auto unreadableKeys = std::make_shared<const tavlin::signing::TrustedKeys>();
    struct Case {
        const char* name;
        const char* md5;
        const char* sha256;
        const char* signature;
        std::shared_ptr<const tavlin::signing::TrustedKeys> keys;
        bool finishes;
    };
    const Case cases[] = {
        {"right MD5", kMd5, "", "", noKeys, true},
        {"right MD5 and SHA-256", kMd5, kSha256, "", noKeys, true},
        {"no keys: the signature is ignored", kMd5, "", "garbled", noKeys, true},
        {"wrong MD5", "7707d6ae4e027c70eea2a935c2296f22", "", "", noKeys, false},
        {"wrong SHA-256", kMd5, signing_test::kAbcSha256, "", noKeys, false},
        {"unreadable keys: a real signature", kMd5, kSha256, signing_test::kAbcSignatureByKeyA, unreadableKeys,
         false},
        {"unreadable keys: no signature", kMd5, "", "", unreadableKeys, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        ASSERT_TRUE(dir.valid());
        ASSERT_TRUE(::CopyFileW(win_test::Wide(INSTALL_ZEB_APP).c_str(), win_test::Wide(dir / "InstallZebApp.dll").c_str(),
                                FALSE));
        auto failures = std::make_shared<std::atomic<int>>(0);
        {
            TestJob job(url_, c.md5);
            job.workDir = dir.path() + "\\";
            job.expectedSha256 = c.sha256;
            job.signature = c.signature;
            job.trustedKeys = c.keys;
            // Called on a thread of its own, which may outlive the job.
            job.onFailure = [failures] { ++*failures; };
            job.Start();
            ASSERT_TRUE(job.WaitDone(60000)) << "the job did not end";
            EXPECT_EQ(job.finished.load(), c.finishes);
            if (!c.finishes) {
                EXPECT_EQ(job.progress.downloadedBytes.load(), 0);
            }
        }
        EXPECT_EQ(Exists(dir / "InstallZebApp.registered"), c.finishes);
        if (c.finishes) {
            EXPECT_TRUE(ReadWhole(dir / "update.zip") == kPackage);
            EXPECT_EQ(failures->load(), 0);
            continue;
        }
        EXPECT_FALSE(Exists(dir / "update.zip")) << "a package that failed its checks must be deleted";
        for (int i = 0; i < 500 && failures->load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(failures->load(), 1);
    }
}

}  // namespace
