// The keys that update packages must be signed with, compiled into the
// program at build time (-DTAVLIN_UPDATE_KEYS=FILE, see CMakeLists.txt).
#pragma once

#include <memory>
#include <string_view>

#include "signing/PackageSignature.h"

// The PEM text of the trusted public keys; "" for a build without keys.
std::string_view BuiltInUpdateKeysPem();

// The built-in keys as the jobs take them: null for a build without keys.
// Text that does not read as keys (the build checks it, so only a damaged
// program) gives an empty set, under which no package verifies.
std::shared_ptr<const tavlin::signing::TrustedKeys> LoadBuiltInUpdateKeys();
