#include "../ArchiveSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace tavlin::unpack {

struct ArchiveSource {
    platform::UniqueFd fd;
};

void ArchiveSourceCloser::operator()(ArchiveSource* source) const { delete source; }

ArchiveSourcePtr OpenArchiveSource(const std::string& path) {
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return nullptr;
    return ArchiveSourcePtr(new ArchiveSource{std::move(fd)});
}

bool ArchiveSourceSize(ArchiveSource& source, uint64_t& size) {
    struct stat st{};
    if (::fstat(source.fd.get(), &st) != 0) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool ArchiveSourceRead(ArchiveSource& source, char* out, std::size_t size, uint64_t at, std::size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t n = ::pread(source.fd.get(), out + got, size - got, static_cast<off_t>(at + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace tavlin::unpack
