// Trusted-key text, signing-key text and signature text from arbitrary
// bytes: none may crash, a refused key always says why, and a signature
// text only verifies in its one canonical spelling.
#include "signing/PackageSignature.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// A fixed test key pair, so that inputs near the real signature are found.
constexpr const char* kPublicKey =
    "-----BEGIN PUBLIC KEY-----\n"
    "MCowBQYDK2VwAyEANYaDfxpq5tXHKtDhRlRY0MaU8a6g7Q/RXIxTxXA7T6Q=\n"
    "-----END PUBLIC KEY-----\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string error;
    if (data[0] & 1) {
        auto keys = tavlin::signing::TrustedKeys::FromPem(text, error);
        if (keys && keys->size() == 0) std::abort();
        if (!keys && error.empty()) std::abort();
        return 0;
    }
    if (data[0] & 4) {
        if (tavlin::signing::PublicKeyPem(text, error).empty() && error.empty()) std::abort();
        return 0;
    }
    static const auto keys = tavlin::signing::TrustedKeys::FromPem(kPublicKey, error);
    if (!keys) std::abort();
    keys->Verifies(tavlin::signing::SignedStatement("00", 0), text);
    return 0;
}
