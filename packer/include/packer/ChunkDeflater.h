// Raw deflate of one piece of a file, so that the pieces of a large file can
// be compressed on several threads and their outputs joined into one valid
// deflate stream: every piece but the last ends on a byte boundary without
// closing the stream, the last one closes it, and each piece after the first
// is primed with the 32 KiB of data before it so that the ratio stays close
// to that of one pass. The output depends only on the data, never on which
// thread compressed it. One object per thread.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace tavlin::packer {

// How much of the preceding data primes a piece.
inline constexpr std::size_t kDeflateWindow = 32768;

class ChunkDeflater {
public:
    ChunkDeflater();
    ~ChunkDeflater();
    ChunkDeflater(const ChunkDeflater&) = delete;
    ChunkDeflater& operator=(const ChunkDeflater&) = delete;

    // Compresses `data` (preceded in the file by `dictionary`, empty for the
    // first piece) into `out`; `last` ends the stream. False only when zlib
    // fails (out of memory).
    bool Compress(std::string_view dictionary, std::string_view data, bool last, std::string& out);

private:
    z_stream stream_{};
    bool ready_ = false;
};

}  // namespace tavlin::packer
