// Data that the system's resource compiler put into the running module (an
// .rc file's "102 ZIPRES ..." lines). Linux programs have no such section:
// their data is registered at run time (RegisterResource) instead.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace DuiLib {

// The bytes of the resource of this type and integer identifier in the
// module that holds this library's code (the program, or the DLL it is
// linked into); empty when there is none. The bytes live as long as the
// module. Any thread.
std::span<const uint8_t> FindModuleResource(std::u16string_view type, int id);

}  // namespace DuiLib
