#include "signing/PackageSignature.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <string>

#include "known_signature.h"

using tavlin::signing::PublicKeyPem;
using tavlin::signing::SignedStatement;
using tavlin::signing::SignStatement;
using tavlin::signing::TrustedKeys;

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(n));
}

// A fresh private key of `type` ("ED25519", "RSA"), in PEM; `passphrase`
// encrypts it.
std::string NewKeyPem(const char* type, const char* passphrase = nullptr) {
    std::unique_ptr<EVP_PKEY, KeyFree> key(
        std::string(type) == "RSA" ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024})
                                   : EVP_PKEY_Q_keygen(nullptr, nullptr, type));
    EXPECT_TRUE(key);
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    const EVP_CIPHER* cipher = passphrase ? EVP_aes_128_cbc() : nullptr;
    EXPECT_EQ(1, PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), cipher, passphrase,
                                               passphrase ? static_cast<int>(strlen(passphrase)) : 0,
                                               nullptr, nullptr));
    return BioText(bio.get());
}

std::string PublicOf(const std::string& privatePem) {
    std::string error;
    std::string pub = PublicKeyPem(privatePem, error);
    EXPECT_FALSE(pub.empty()) << error;
    return pub;
}

std::string Sign(const std::string& privatePem, const std::string& statement) {
    std::string sig, error;
    EXPECT_TRUE(SignStatement(privatePem, statement, sig, error)) << error;
    return sig;
}

TrustedKeys Keys(const std::string& pem) {
    std::string error;
    auto keys = TrustedKeys::FromPem(pem, error);
    EXPECT_TRUE(keys) << error;
    return keys ? *keys : *TrustedKeys::FromPem(PublicOf(NewKeyPem("ED25519")), error);
}

const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

// The fixture that a build without signatures must refuse is a real
// signature: it verifies here.
TEST(SignatureTest, KnownSignatureByTestKeyAVerifies) {
    const std::string statement = SignedStatement(signing_test::kAbcSha256, signing_test::kAbcSize);
    EXPECT_TRUE(Keys(signing_test::kKeyAPublicPem).Verifies(statement, signing_test::kAbcSignatureByKeyA));
    EXPECT_FALSE(Keys(signing_test::kKeyAPublicPem)
                     .Verifies(SignedStatement(signing_test::kAbcSha256, signing_test::kAbcSize + 1),
                               signing_test::kAbcSignatureByKeyA));
}

TEST(SignatureTest, VerifiesOnlyTheSignedStatementUnderTheSigningKey) {
    const std::string priv = NewKeyPem("ED25519");
    const std::string statement = SignedStatement(kDigest, 1000);
    const std::string sig = Sign(priv, statement);
    EXPECT_EQ(88u, sig.size());

    TrustedKeys keys = Keys(PublicOf(priv));
    EXPECT_TRUE(keys.Verifies(statement, sig));
    EXPECT_TRUE(keys.Verifies(statement, "  " + sig + "\n"));
    // Another size or digest: another package.
    EXPECT_FALSE(keys.Verifies(SignedStatement(kDigest, 1001), sig));
    std::string otherDigest = kDigest;
    otherDigest[0] = '8';
    EXPECT_FALSE(keys.Verifies(SignedStatement(otherDigest, 1000), sig));
    // Another key.
    EXPECT_FALSE(Keys(PublicOf(NewKeyPem("ED25519"))).Verifies(statement, sig));
}

TEST(SignatureTest, MalformedSignaturesNeverVerify) {
    const std::string priv = NewKeyPem("ED25519");
    const std::string statement = SignedStatement(kDigest, 5);
    const std::string sig = Sign(priv, statement);
    TrustedKeys keys = Keys(PublicOf(priv));

    std::string flipped = sig;
    flipped[10] = flipped[10] == 'A' ? 'B' : 'A';
    // The last character before the padding carries 4 unused bits: a text
    // that differs only there decodes to the same bytes, and is refused.
    std::string unusedBits = sig;
    unusedBits[85] = unusedBits[85] == 'A' ? 'B' : 'A';
    const std::string cases[] = {"", sig.substr(0, 87), sig.substr(0, 44), sig + "A", sig + "==",
                                 flipped, unusedBits, std::string(88, '*'), sig.substr(0, 40) + " " + sig.substr(41)};
    for (const std::string& text : cases) EXPECT_FALSE(keys.Verifies(statement, text)) << "'" << text << "'";
}

TEST(TrustedKeysTest, AnyOfSeveralKeysVerifies) {
    const std::string a = NewKeyPem("ED25519"), b = NewKeyPem("ED25519");
    const std::string statement = SignedStatement(kDigest, 42);
    TrustedKeys both = Keys(PublicOf(a) + "\n" + PublicOf(b));
    EXPECT_EQ(2u, both.size());
    EXPECT_TRUE(both.Verifies(statement, Sign(a, statement)));
    EXPECT_TRUE(both.Verifies(statement, Sign(b, statement)));
    EXPECT_FALSE(both.Verifies(statement, Sign(NewKeyPem("ED25519"), statement)));
}

TEST(TrustedKeysTest, RefusesTextThatIsNotOnlyEd25519PublicKeys) {
    const std::string ed = NewKeyPem("ED25519");
    const std::string rsa = NewKeyPem("RSA");
    const struct {
        const char* what;
        std::string pem;
    } cases[] = {
        {"empty", ""},
        {"no block", "not a key\n"},
        {"a private key", ed},
        {"a private key beside a public one", ed + PublicOf(ed)},
        {"an RSA public key", PublicOf(NewKeyPem("ED25519")) + [&] {
             std::unique_ptr<BIO, BioFree> in(BIO_new_mem_buf(rsa.data(), static_cast<int>(rsa.size())));
             std::unique_ptr<EVP_PKEY, KeyFree> k(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
             std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
             PEM_write_bio_PUBKEY(out.get(), k.get());
             return BioText(out.get());
         }()},
        {"a damaged block", "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(TrustedKeys::FromPem(c.pem, error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

TEST(SignStatementTest, RefusesKeysItCannotUseWithoutPrompting) {
    const std::string cases[] = {"", "garbage", NewKeyPem("RSA"), NewKeyPem("ED25519", "secret")};
    for (const std::string& pem : cases) {
        std::string sig, error;
        EXPECT_FALSE(SignStatement(pem, "x", sig, error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(sig.empty());
    }
}

// The packer shows these messages to the vendor: each says what is wrong
// with the file rather than that it cannot be read.
TEST(SignStatementTest, SaysWhyAKeyFileCannotSign) {
    const std::string ed = NewKeyPem("ED25519");
    const struct {
        const char* what;
        std::string pem;
        const char* says;  // nullptr: the key signs
    } cases[] = {
        {"the public key", PublicOf(ed), "holds a public key"},
        {"two public keys", PublicOf(ed) + PublicOf(NewKeyPem("ED25519")), "holds a public key"},
        {"an encrypted key", NewKeyPem("ED25519", "secret"), "pass phrase"},
        {"two private keys", ed + NewKeyPem("ED25519"), "more than one private key"},
        {"an RSA key", NewKeyPem("RSA"), "not an Ed25519 key"},
        {"the key with notes around it", "vendor signing key\n" + ed + "kept offline\n", nullptr},
        {"the public key before the private one", PublicOf(ed) + ed, nullptr},
    };
    for (const auto& c : cases) {
        std::string sig, error;
        const bool signs = SignStatement(c.pem, "x", sig, error);
        if (!c.says) {
            EXPECT_TRUE(signs) << c.what << ": " << error;
            continue;
        }
        EXPECT_FALSE(signs) << c.what;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.what << ": " << error;
    }
}

}  // namespace
