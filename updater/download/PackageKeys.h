// The keys a package's signature must verify under, for every job of the
// process: the program sets them once at its start from the keys it was
// built with. None: no signature is asked for.
#pragma once

#include <memory>

#include "signing/PackageSignature.h"

void SetTrustedPackageKeys(std::shared_ptr<const tavlin::signing::TrustedKeys> keys);
std::shared_ptr<const tavlin::signing::TrustedKeys> TrustedPackageKeys();
