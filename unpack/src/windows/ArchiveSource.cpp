#include "../ArchiveSource.h"

#include <windows.h>

#include <algorithm>

#include "WidePath.h"
#include "platform/unique_handle.h"

namespace tavlin::unpack {

struct ArchiveSource {
    platform::UniqueHandle file;
};

void ArchiveSourceCloser::operator()(ArchiveSource* source) const { delete source; }

ArchiveSourcePtr OpenArchiveSource(const std::string& path) {
    std::wstring wide;
    if (!LongAbsolutePath(path, wide)) return nullptr;
    // Others may read it meanwhile, not change it.
    platform::UniqueHandle file(::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return nullptr;
    return ArchiveSourcePtr(new ArchiveSource{std::move(file)});
}

bool ArchiveSourceSize(ArchiveSource& source, uint64_t& size) {
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(source.file.get(), &length)) return false;
    size = static_cast<uint64_t>(length.QuadPart);
    return true;
}

bool ArchiveSourceRead(ArchiveSource& source, char* out, std::size_t size, uint64_t at, std::size_t& got) {
    got = 0;
    while (got < size) {
        // The offset travels with each read, so handles on several threads
        // share no file position.
        OVERLAPPED where{};
        const uint64_t offset = at + got;
        where.Offset = static_cast<DWORD>(offset & 0xffffffffu);
        where.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - got, 1u << 30));
        DWORD n = 0;
        if (!::ReadFile(source.file.get(), out + got, want, &n, &where)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) break;
            return false;
        }
        if (n == 0) break;
        got += n;
    }
    return true;
}

}  // namespace tavlin::unpack
