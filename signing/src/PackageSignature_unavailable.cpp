// A build without OpenSSL (Windows): no key can be read, so nothing can be
// signed or verified. Programs built so trust no keys, and check packages
// by their digests only.
#include "signing/PackageSignature.h"

namespace tavlin::signing {

namespace {

constexpr const char* kUnavailable = "package signatures are not available in this build (no OpenSSL)";

}  // namespace

bool SignStatement(std::string_view, std::string_view, std::string& signature, std::string& error) {
    signature.clear();
    error = kUnavailable;
    return false;
}

std::string PublicKeyPem(std::string_view, std::string& error) {
    error = kUnavailable;
    return {};
}

std::optional<TrustedKeys> TrustedKeys::FromPem(std::string_view, std::string& error) {
    error = kUnavailable;
    return std::nullopt;
}

bool TrustedKeys::Verifies(std::string_view, std::string_view) const { return false; }

void TrustedKeys::Free::operator()(EVP_PKEY*) const {}

}  // namespace tavlin::signing
