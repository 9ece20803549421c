#include "packer/UnixHost.h"

#include <fcntl.h>
#include <unistd.h>
#include <unzip.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "packer/ZipEntryMeta.h"
#include "platform/unique_fd.h"
#include "unpack/Printable.h"

namespace tavlin::packer {

namespace {

struct UnzCloser {
    void operator()(void* uf) const { unzClose(uf); }
};

// A central record starts with this signature; its version-made-by follows.
constexpr unsigned char kCentralSignature[] = {'P', 'K', 1, 2};
constexpr uint64_t kMadeByOffset = 4;

}  // namespace

bool RestoreUnixHost(const std::string& zipPath, std::size_t& mended, std::string& error) {
    mended = 0;
    const std::string name = "\"" + unpack::Printable(zipPath) + "\"";
    std::vector<uint64_t> records;  // where the central records to mend start
    {
        std::unique_ptr<void, UnzCloser> uf(unzOpen64(zipPath.c_str()));
        if (!uf) {
            error = "cannot read back the package " + name;
            return false;
        }
        const uint16_t unix = VersionMadeBy(true) >> 8;
        int rc = unzGoToFirstFile(uf.get());
        for (; rc == UNZ_OK; rc = unzGoToNextFile(uf.get())) {
            unz_file_info64 info{};
            unz64_file_pos pos{};
            if (unzGetCurrentFileInfo64(uf.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK ||
                unzGetFilePos64(uf.get(), &pos) != UNZ_OK) {
                rc = UNZ_BADZIPFILE;
                break;
            }
            if ((info.version >> 8) != unix) records.push_back(pos.pos_in_zip_directory);
        }
        if (rc != UNZ_END_OF_LIST_OF_FILE) {
            error = "cannot read back the package " + name + " (minizip error " + std::to_string(rc) + ")";
            return false;
        }
    }
    mended = records.size();
    if (records.empty()) return true;
    const platform::UniqueFd fd(::open(zipPath.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) {
        error = "cannot reopen the package " + name + ": " + std::strerror(errno);
        return false;
    }
    const uint16_t madeBy = VersionMadeBy(true);
    const unsigned char value[2] = {static_cast<unsigned char>(madeBy & 0xff), static_cast<unsigned char>(madeBy >> 8)};
    for (const uint64_t at : records) {
        unsigned char signature[sizeof kCentralSignature];
        if (::pread(fd.get(), signature, sizeof signature, static_cast<off_t>(at)) != sizeof signature ||
            std::memcmp(signature, kCentralSignature, sizeof signature) != 0) {
            error = "the package " + name + " has no central record where minizip places one";
            return false;
        }
        if (::pwrite(fd.get(), value, sizeof value, static_cast<off_t>(at + kMadeByOffset)) != sizeof value) {
            error = "cannot mend the package " + name + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace tavlin::packer
