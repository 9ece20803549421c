// Signed packages and the SHA-256 check, as the installed updater runs
// them: updaters built with the test-only key A, with keys A and B, and
// without keys, each against nginx. A package that passes is verified and
// left for the launcher; one that fails shows the failure prompt, is
// deleted, and its reason is in the updater's log.
#include <openssl/evp.h>

#include <filesystem>

#include "cycle_fixture.h"
#include "nginx_server.h"
#include "signing/PackageSignature.h"

namespace fs = std::filesystem;

namespace cycle_test {
namespace {

// The signature of the package at `path` by test-only key `key` ("a", "b").
std::string Sign(const std::string& path, const std::string& key) {
    std::string signature, error;
    const std::string pem =
        tavlin_test::ReadFileText(std::string(TAVLIN_TEST_KEYS_DIR) + "/test-only-key-" + key + ".pem");
    EXPECT_TRUE(tavlin::signing::SignStatement(
        pem, tavlin::signing::SignedStatement(Sha256Hex(path), fs::file_size(path)), signature, error))
        << error;
    return signature;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class SignatureCycleTest : public CycleTest {};

TEST_F(SignatureCycleTest, OnlyPackagesThatPassEveryCheckAreKept) {
    const std::string md5 = MakePackage(Www("update.zip"), VersionFiles("2.0"));
    MakePackage(Www("other.zip"), VersionFiles("3.0"));
    const std::string sha256 = Sha256Hex(Www("update.zip"));
    const std::string byA = Sign(Www("update.zip"), "a");
    const std::string byB = Sign(Www("update.zip"), "b");
    const std::string otherByA = Sign(Www("other.zip"), "a");
    ASSERT_EQ(byA.size(), 88u);
    download_test::NginxServer nginx(Www(""));

    struct Case {
        const char* name;
        std::string updater;               // the program installed as temp/Updater.exe
        std::vector<std::string> checks;   // the job's -sha256= and -sig=
        const char* rejection;             // the logged reason; null: the package is kept
    };
    const std::string noKeys = BinDir() + "/tavlinUpdater.exe";
    const Case cases[] = {
        {"NoKeysIgnoreTheSignature", noKeys, {"-sig=garbled"}, nullptr},
        {"WrongSha256", noKeys, {"-sha256=" + Sha256Hex(Www("other.zip"))}, "SHA-256 does not match"},
        {"KeyAGoodSignature", TAVLIN_UPDATER_KEY_A, {"-sha256=" + sha256, "-sig=" + byA}, nullptr},
        {"KeyANoSignature", TAVLIN_UPDATER_KEY_A, {}, "no signature"},
        {"KeyATruncatedSignature", TAVLIN_UPDATER_KEY_A, {"-sig=" + byA.substr(0, 44)}, "signature does not verify"},
        {"KeyASignatureOfAnotherPackage", TAVLIN_UPDATER_KEY_A, {"-sig=" + otherByA}, "signature does not verify"},
        {"KeyASignedByB", TAVLIN_UPDATER_KEY_A, {"-sig=" + byB}, "signature does not verify"},
        {"KeysABSignedByB", TAVLIN_UPDATER_KEYS_AB, {"-sig=" + byB}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::copy_file(c.updater, Work("Updater.exe"), fs::copy_options::overwrite_existing);
        fs::remove(Work("InstallZebApp.registered"));
        const size_t rejectionsBefore = c.rejection ? Count(UpdaterLog(), c.rejection) : 0;
        std::vector<std::string> args = {"-url=" + nginx.Url("/update.zip"), "-md5=" + md5, "-newver=2.0"};
        args.insert(args.end(), c.checks.begin(), c.checks.end());
        ChildProcess updater = StartUpdater(args);

        if (c.rejection) {
            const std::string prompt = WaitForClass(kPromptClass);
            ASSERT_FALSE(prompt.empty()) << "no failure prompt; " << updater.Stderr();
            EXPECT_FALSE(tavlin_test::FileExists(Work("update.zip"))) << "a rejected package was kept";
            EXPECT_TRUE(Registrations().empty());
            ASSERT_TRUE(PressKey(prompt, "Escape"));
        } else {
            const std::string window = WaitForClass(kProgressClass);
            ASSERT_FALSE(window.empty()) << "no progress window; " << updater.Stderr();
            ASSERT_TRUE(tavlin_test::WaitUntil([&] { return Registrations().size() == 1 || !updater.Alive(); },
                                               kProcessTimeoutMs));
            ASSERT_EQ(Registrations().size(), 1u) << "not verified; " << updater.Stderr();
            ASSERT_TRUE(WaitForGreen(window)) << "no completion line";
            EXPECT_EQ(Md5Hex(Work("update.zip")), md5);
            EXPECT_TRUE(WindowsOfClass(kPromptClass).empty());
            ASSERT_TRUE(PressKey(window, "Escape"));
        }
        ASSERT_TRUE(updater.Wait(kProcessTimeoutMs)) << "the updater did not end";
        EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
        if (c.rejection) {
            EXPECT_TRUE(tavlin_test::WaitUntil(
                [&] { return Count(UpdaterLog(), c.rejection) > rejectionsBefore; }, 10000))
                << "the log does not say why: " << UpdaterLog();
        }
    }
    EXPECT_EQ(tavlin_test::ReadFileText(Installed("version.txt")), "1.0") << "an ordinary update installs nothing";
}

}  // namespace
}  // namespace cycle_test
