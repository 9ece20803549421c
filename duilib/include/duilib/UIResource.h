// Data built into the program and found by type and identifier, the way a
// Windows program finds its resources; and zip archives read from memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace DuiLib {

// Registers `size` bytes at `data` (not copied: static data) under a type
// and an integer identifier. A later registration replaces an earlier one.
// Any thread.
void RegisterResource(std::u16string_view type, int id, const void* data, size_t size);
// The registered bytes; when none (or an empty span) are registered, the
// module's own resource of that type and identifier (Windows: FindResourceW
// in the program or DLL linking this library; Linux has none); else an
// empty span.
std::span<const uint8_t> FindResourceData(std::u16string_view type, int id);

// A zip archive read through minizip. Immutable once open, so one archive
// may be read by several threads, each call opening its own reader.
class CZipArchive {
public:
    // Over bytes that outlive the archive (a resource). nullptr when the
    // bytes are not a zip archive.
    static std::shared_ptr<CZipArchive> FromMemory(std::span<const uint8_t> data);
    // A zip file on disk, read into memory.
    static std::shared_ptr<CZipArchive> FromFile(const std::string& path);

    // Reads the entry named exactly `name`; false when it is missing or
    // damaged.
    bool Read(std::string_view name, std::string& out) const;

private:
    std::string owned_;
    std::span<const uint8_t> data_;
};

}  // namespace DuiLib
