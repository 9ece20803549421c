#include "download/PackageKeys.h"

#include <mutex>

namespace {

std::mutex keysMutex;
std::shared_ptr<const tavlin::signing::TrustedKeys> keysOfProcess;

}  // namespace

void SetTrustedPackageKeys(std::shared_ptr<const tavlin::signing::TrustedKeys> keys) {
    std::lock_guard<std::mutex> lock(keysMutex);
    keysOfProcess = std::move(keys);
}

std::shared_ptr<const tavlin::signing::TrustedKeys> TrustedPackageKeys() {
    std::lock_guard<std::mutex> lock(keysMutex);
    return keysOfProcess;
}
