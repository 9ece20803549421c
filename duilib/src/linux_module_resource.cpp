// Linux: ELF programs carry no resource section; every resource of this
// build is registered at run time.
#include "ModuleResource.h"

namespace DuiLib {

std::span<const uint8_t> FindModuleResource(std::u16string_view, int) { return {}; }

}  // namespace DuiLib
