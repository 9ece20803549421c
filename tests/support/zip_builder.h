// Writes zip archives for tests and benchmarks, including the unusual and
// the broken: chosen hosts and attributes, DOS times, "UT" extra fields,
// symbolic links, and entries whose CRC or declared size is wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavlin_test {

namespace zip_host {
constexpr uint8_t kDos = 0;
constexpr uint8_t kUnix = 3;
constexpr uint8_t kMac = 7;
constexpr uint8_t kNtfs = 11;
constexpr uint8_t kVfat = 14;
constexpr uint8_t kOsx = 19;
}  // namespace zip_host

// DOS date and time fields as one value (date in the high 16 bits).
uint32_t DosDateTime(int year, int month, int day, int hour, int minute, int second);

// External attributes holding a Unix mode (such as 0100644 or 040755).
inline uint32_t UnixAttributes(uint32_t mode) { return mode << 16; }

// One "UT" extended-timestamp block: flag byte, then the given times.
std::string UtExtraField(uint8_t flags, const std::vector<uint32_t>& times);

// Any extra-field block: 2-byte tag, 2-byte size, data.
std::string ExtraBlock(uint16_t tag, const std::string& data);

struct ZipEntry {
    std::string name;
    std::string data;
    bool deflate = true;
    uint8_t host = zip_host::kUnix;
    uint32_t externalAttributes = UnixAttributes(0100644);
    uint32_t dosDateTime = DosDateTime(2020, 6, 15, 12, 30, 0);
    std::string extra;  // written to both the local and the central record

    // Broken entries: the data is written as it is, with these in the
    // records instead of the true values.
    std::optional<uint32_t> declaredCrc;
    std::optional<uint64_t> declaredSize;
};

class ZipBuilder {
public:
    // Starts a new archive at `path` (replacing a file there). Throws
    // std::runtime_error when it cannot be created.
    explicit ZipBuilder(const std::string& path);
    ~ZipBuilder();
    ZipBuilder(const ZipBuilder&) = delete;
    ZipBuilder& operator=(const ZipBuilder&) = delete;

    // Each throws std::runtime_error when minizip refuses.
    ZipBuilder& Add(const ZipEntry& entry);
    ZipBuilder& AddFile(const std::string& name, const std::string& data, uint32_t mode = 0644);
    ZipBuilder& AddDir(const std::string& name);  // name should end in "/"
    ZipBuilder& AddSymlink(const std::string& name, const std::string& target);

    // Writes the central directory; the archive is complete afterwards.
    void Close();

private:
    void* zip_ = nullptr;
};

// Writes a complete archive in one go.
void WriteZip(const std::string& path, const std::vector<ZipEntry>& entries);

}  // namespace tavlin_test
