#include "win32_raw_resource.h"

#include <windows.h>

namespace tavlin_ui_test {

std::span<const uint8_t> ProgramResource(const wchar_t* type, int id) {
    HMODULE program = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceW(program, MAKEINTRESOURCEW(id), type);
    if (!info) return {};
    HGLOBAL loaded = LoadResource(program, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return {};
    return {static_cast<const uint8_t*>(data), SizeofResource(program, info)};
}

}  // namespace tavlin_ui_test
