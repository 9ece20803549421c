// The program's own resource section read straight through the system
// (FindResourceW on the program's module), apart from the UI library, so a
// test can tell where the library's bytes come from.
#pragma once

#include <cstdint>
#include <span>

namespace tavlin_ui_test {

// Resource `id` of the string type `type` in the running program; empty
// when there is none.
std::span<const uint8_t> ProgramResource(const wchar_t* type, int id);

}  // namespace tavlin_ui_test
