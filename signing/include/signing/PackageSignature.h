// Ed25519 signatures of update packages. A signature covers a short text
// that names the package's SHA-256 and size, not the package itself, so a
// verifier that already hashed the file while receiving it needs no second
// pass over it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace tavlin::signing {

// "tavlin-package-signature-v1\nsha256 <hex>\nsize <decimal>\n"; the digest
// is written in lower case whatever case it was given in.
std::string SignedStatement(std::string_view sha256Hex, uint64_t size);

// Signs `statement` with an Ed25519 private key in PEM form (as made by
// `openssl genpkey -algorithm ed25519`). true: `signature` holds the base64
// text (88 characters). false: `error` says why.
bool SignStatement(std::string_view privateKeyPem, std::string_view statement,
                   std::string& signature, std::string& error);

// The PEM public key of an Ed25519 private key in PEM form; "" with `error`
// when the key cannot be read or is not Ed25519.
std::string PublicKeyPem(std::string_view privateKeyPem, std::string& error);

// One or more trusted Ed25519 public keys, so that keys can be rotated: a
// package signed by any of them is accepted.
class TrustedKeys {
public:
    // Reads every PEM block of `pem`. nullopt with `error` when the text
    // holds no block or a block is not an Ed25519 public key.
    static std::optional<TrustedKeys> FromPem(std::string_view pem, std::string& error);

    size_t size() const { return keys_.size(); }

    // Whether `signature` (base64, surrounding whitespace ignored) is an
    // Ed25519 signature of `statement` under one of the keys. Malformed
    // text never verifies.
    bool Verifies(std::string_view statement, std::string_view signature) const;

private:
    struct Free {
        void operator()(EVP_PKEY* key) const;
    };
    std::vector<std::shared_ptr<EVP_PKEY>> keys_;
};

}  // namespace tavlin::signing
