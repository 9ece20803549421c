// A build without trusted keys: packages are checked by their digests only.
#include "UpdateKeys.h"

std::string_view BuiltInUpdateKeysPem() { return {}; }
