// Windows: the resource section of the module this library is linked into,
// through FindResourceW, LoadResource, LockResource and SizeofResource.
#include <windows.h>

#include <string>

#include "ModuleResource.h"

namespace DuiLib {

namespace {

// The module (program or DLL) holding this code, not necessarily the
// program: a DLL linking the library carries its own resources.
HMODULE OwnModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&OwnModule), &module))
        return nullptr;
    return module;
}

}  // namespace

std::span<const uint8_t> FindModuleResource(std::u16string_view type, int id) {
    if (type.empty() || id <= 0 || id > 0xFFFF) return {};
    HMODULE module = OwnModule();
    if (!module) return {};
    // UTF-16 both: the type name only needs its terminating NUL.
    const std::u16string typeName(type);
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), reinterpret_cast<LPCWSTR>(typeName.c_str()));
    if (!info) return {};
    const DWORD size = SizeofResource(module, info);
    // A loaded resource is part of the mapped module: nothing to free.
    HGLOBAL loaded = LoadResource(module, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data || size == 0) return {};
    return {static_cast<const uint8_t*>(data), static_cast<size_t>(size)};
}

}  // namespace DuiLib
