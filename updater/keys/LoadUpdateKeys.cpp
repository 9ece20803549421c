#include <cstdio>

#include "UpdateKeys.h"

std::shared_ptr<const tavlin::signing::TrustedKeys> LoadBuiltInUpdateKeys() {
    const std::string_view pem = BuiltInUpdateKeysPem();
    if (pem.empty()) return nullptr;
    std::string error;
    std::optional<tavlin::signing::TrustedKeys> keys = tavlin::signing::TrustedKeys::FromPem(pem, error);
    if (!keys) {
        std::fprintf(stderr, "tavlinUpdater: the built-in update keys cannot be read (%s); no package will be accepted\n",
                     error.c_str());
        return std::make_shared<const tavlin::signing::TrustedKeys>();
    }
    return std::make_shared<const tavlin::signing::TrustedKeys>(std::move(*keys));
}
