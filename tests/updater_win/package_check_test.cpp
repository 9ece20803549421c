// The package check of an updater built without signatures: no built-in
// keys, so packages pass on their digests alone and a job's signature is
// ignored; and the key set that unreadable keys leave (an empty one)
// refuses every package that asks for a signature, a real one included.
#include <gtest/gtest.h>

#include <string>

#include "UpdateKeys.h"
#include "download/PackageCheck.h"
#include "known_signature.h"

namespace {

const char kAbcMd5[] = "900150983cd24fb0d6963f7d28e17f72";

PackageDigests Abc() { return {kAbcMd5, signing_test::kAbcSha256, signing_test::kAbcSize}; }

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}

TEST(PackageCheckWin, WithoutKeysDigestsDecideAndTheSignatureIsIgnored) {
    ASSERT_EQ(LoadBuiltInUpdateKeys(), nullptr) << "a Windows updater has no keys it could use";
    struct Case {
        const char* name;
        PackageExpectations expected;
        PackageVerdict verdict;
    };
    const Case cases[] = {
        {"md5 only", {kAbcMd5, "", ""}, PackageVerdict::Accepted},
        {"md5 in capitals and sha-256", {Upper(kAbcMd5), Upper(signing_test::kAbcSha256), ""},
         PackageVerdict::Accepted},
        {"wrong md5", {"900150983cd24fb0d6963f7d28e17f73", "", ""}, PackageVerdict::Md5Mismatch},
        {"no md5", {"", "", ""}, PackageVerdict::Md5Mismatch},
        {"wrong sha-256", {kAbcMd5, std::string(64, '0'), ""}, PackageVerdict::Sha256Mismatch},
        {"garbled signature", {kAbcMd5, "", "garbled"}, PackageVerdict::Accepted},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NeedsSha256(c.expected, nullptr), !c.expected.sha256.empty()) << c.name;
        EXPECT_EQ(CheckPackage(Abc(), c.expected, nullptr), c.verdict) << c.name;
    }
}

TEST(PackageCheckWin, AnEmptyKeySetRefusesSignedAndUnsignedPackages) {
    const tavlin::signing::TrustedKeys none;
    const PackageExpectations signedByA{kAbcMd5, "", signing_test::kAbcSignatureByKeyA};
    EXPECT_TRUE(NeedsSha256(signedByA, &none));
    EXPECT_EQ(CheckPackage(Abc(), signedByA, &none), PackageVerdict::SignatureInvalid);
    EXPECT_EQ(CheckPackage(Abc(), {kAbcMd5, signing_test::kAbcSha256, ""}, &none), PackageVerdict::SignatureMissing);
    PackageDigests withoutSha = Abc();
    withoutSha.sha256.clear();
    EXPECT_EQ(CheckPackage(withoutSha, signedByA, &none), PackageVerdict::SignatureInvalid);
}

}  // namespace
