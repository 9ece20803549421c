#include <algorithm>
#include <cctype>

#include "signing/PackageSignature.h"

namespace tavlin::signing {

std::string SignedStatement(std::string_view sha256Hex, uint64_t size) {
    std::string hex(sha256Hex);
    std::transform(hex.begin(), hex.end(), hex.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return "tavlin-package-signature-v1\nsha256 " + hex + "\nsize " + std::to_string(size) + "\n";
}

}  // namespace tavlin::signing
