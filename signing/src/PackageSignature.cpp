#include "signing/PackageSignature.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cctype>

namespace tavlin::signing {

namespace {

constexpr size_t kSignatureBytes = 64;
constexpr size_t kSignatureBase64 = 88;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct CtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Ctx = std::unique_ptr<EVP_MD_CTX, CtxFree>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

// Never prompts on the terminal for a pass phrase: an encrypted key is
// refused instead.
int NoPassphrase(char*, int, int, void*) { return -1; }

Bio MemoryBio(std::string_view text) {
    return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string OpenSslError(std::string_view what) {
    std::string text(what);
    unsigned long code = ERR_get_error();
    if (code != 0) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        text += " (";
        text += buf;
        text += ")";
    }
    ERR_clear_error();
    return text;
}

size_t CountBlocks(std::string_view pem, std::string_view label) {
    size_t count = 0;
    const std::string header = "-----BEGIN " + std::string(label) + "-----";
    for (size_t at = pem.find(header); at != std::string_view::npos; at = pem.find(header, at + 1)) ++count;
    return count;
}

// Why a text cannot be the one private key to sign with, said in the
// vendor's terms, or "" when it may be.
std::string PrivateKeyTextProblem(std::string_view pem) {
    const size_t encrypted = CountBlocks(pem, "ENCRYPTED PRIVATE KEY");
    const size_t plain = CountBlocks(pem, "PRIVATE KEY") + CountBlocks(pem, "RSA PRIVATE KEY") +
                         CountBlocks(pem, "EC PRIVATE KEY");
    if (encrypted > 0 || pem.find("Proc-Type: 4,ENCRYPTED") != std::string_view::npos)
        return "the private key is encrypted with a pass phrase, which is never asked for here; "
               "sign with a key file without one";
    if (plain == 0 && CountBlocks(pem, "PUBLIC KEY") > 0)
        return "the file holds a public key; signing needs the private key it was made from";
    if (plain > 1) return "the file holds more than one private key; give the one to sign with alone";
    return {};
}

Key ReadPrivateKey(std::string_view pem, std::string& error) {
    if (std::string why = PrivateKeyTextProblem(pem); !why.empty()) {
        error = std::move(why);
        return nullptr;
    }
    Bio bio = MemoryBio(pem);
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr);
    if (!key) {
        error = OpenSslError("the private key cannot be read (a PEM key without a pass phrase is needed)");
        return nullptr;
    }
    if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        error = "the private key is not an Ed25519 key";
        return nullptr;
    }
    return key;
}

std::string_view Trimmed(std::string_view text) {
    auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

std::string Base64(const unsigned char* data, size_t size) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

// The 64 signature bytes of `text`, only in its one canonical spelling, so
// that no two texts stand for the same signature.
bool DecodeSignature(std::string_view text, unsigned char (&sig)[kSignatureBytes]) {
    text = Trimmed(text);
    if (text.size() != kSignatureBase64) return false;
    unsigned char raw[kSignatureBase64];
    int n = EVP_DecodeBlock(raw, reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < static_cast<int>(kSignatureBytes)) return false;
    std::copy(raw, raw + kSignatureBytes, sig);
    return Base64(sig, kSignatureBytes) == text;
}

size_t CountPemBlocks(std::string_view pem) {
    size_t count = 0;
    for (size_t at = pem.find("-----BEGIN "); at != std::string_view::npos;
         at = pem.find("-----BEGIN ", at + 1))
        ++count;
    return count;
}

}  // namespace

bool SignStatement(std::string_view privateKeyPem, std::string_view statement,
                   std::string& signature, std::string& error) {
    Key key = ReadPrivateKey(privateKeyPem, error);
    if (!key) return false;
    Ctx ctx(EVP_MD_CTX_new());
    unsigned char sig[kSignatureBytes];
    size_t sigLen = sizeof sig;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), sig, &sigLen,
                       reinterpret_cast<const unsigned char*>(statement.data()), statement.size()) != 1 ||
        sigLen != kSignatureBytes) {
        error = OpenSslError("signing failed");
        return false;
    }
    signature = Base64(sig, sigLen);
    return true;
}

std::string PublicKeyPem(std::string_view privateKeyPem, std::string& error) {
    Key key = ReadPrivateKey(privateKeyPem, error);
    if (!key) return {};
    Bio out(BIO_new(BIO_s_mem()));
    if (!out || PEM_write_bio_PUBKEY(out.get(), key.get()) != 1) {
        error = OpenSslError("the public key cannot be written");
        return {};
    }
    char* data = nullptr;
    long n = BIO_get_mem_data(out.get(), &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

void TrustedKeys::Free::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

std::optional<TrustedKeys> TrustedKeys::FromPem(std::string_view pem, std::string& error) {
    const size_t blocks = CountPemBlocks(pem);
    if (blocks == 0) {
        error = "no PEM public key found";
        return std::nullopt;
    }
    Bio bio = MemoryBio(pem);
    TrustedKeys keys;
    for (size_t i = 0; bio && i < blocks; ++i) {
        // Blocks of another kind (a private key, a certificate) are skipped
        // by the reader; the count below catches them.
        EVP_PKEY* key = PEM_read_bio_PUBKEY(bio.get(), nullptr, NoPassphrase, nullptr);
        if (!key) break;
        std::shared_ptr<EVP_PKEY> held(key, Free{});
        if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
            error = "key " + std::to_string(i + 1) + " is not an Ed25519 public key";
            return std::nullopt;
        }
        keys.keys_.push_back(std::move(held));
    }
    ERR_clear_error();
    if (keys.keys_.size() != blocks) {
        error = "PEM block " + std::to_string(keys.keys_.size() + 1) +
                " is not a readable public key (expected \"-----BEGIN PUBLIC KEY-----\")";
        return std::nullopt;
    }
    return keys;
}

bool TrustedKeys::Verifies(std::string_view statement, std::string_view signature) const {
    unsigned char sig[kSignatureBytes];
    if (!DecodeSignature(signature, sig)) return false;
    for (const auto& key : keys_) {
        Ctx ctx(EVP_MD_CTX_new());
        if (ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
            EVP_DigestVerify(ctx.get(), sig, sizeof sig,
                             reinterpret_cast<const unsigned char*>(statement.data()),
                             statement.size()) == 1)
            return true;
        ERR_clear_error();
    }
    return false;
}

}  // namespace tavlin::signing
