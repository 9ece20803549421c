#include "unpack/ArchiveFile.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ArchiveSource.h"

namespace tavlin::unpack {

namespace {

constexpr std::size_t kWindowSize = 256 * 1024;

// A stretch of the archive held in memory.
struct Window {
    std::vector<char> data;
    uint64_t start = 0;
    std::size_t length = 0;
    uint64_t lastUse = 0;

    bool Holds(uint64_t pos) const { return pos >= start && pos < start + length; }
};

// minizip goes back and forth between the central directory at the end of
// the archive and the entries' data: two windows keep both in memory.
struct Cursor {
    ArchiveSource* source = nullptr;
    uint64_t size = 0;
    uint64_t pos = 0;
    Window windows[2];
    uint64_t uses = 0;
    bool failed = false;
};

voidpf ZCALLBACK OpenCursor(voidpf opaque, const void*, int mode) {
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
    auto* source = static_cast<ArchiveSource*>(opaque);
    uint64_t size = 0;
    if (!ArchiveSourceSize(*source, size)) return nullptr;
    auto* c = new Cursor;
    c->source = source;
    c->size = size;
    for (Window& w : c->windows) w.data.resize(kWindowSize);
    return c;
}

uLong ZCALLBACK ReadCursor(voidpf, voidpf stream, void* buf, uLong size) {
    auto* c = static_cast<Cursor*>(stream);
    char* out = static_cast<char*>(buf);
    uLong done = 0;
    while (done < size && c->pos < c->size) {
        Window* hit = nullptr;
        for (Window& w : c->windows) {
            if (w.Holds(c->pos)) hit = &w;
        }
        if (!hit) {
            // Large reads go straight to the caller.
            if (size - done >= kWindowSize) {
                std::size_t got = 0;
                if (!ArchiveSourceRead(*c->source, out + done, size - done, c->pos, got)) c->failed = true;
                done += got;
                c->pos += got;
                break;
            }
            hit = c->windows[0].lastUse <= c->windows[1].lastUse ? &c->windows[0] : &c->windows[1];
            std::size_t got = 0;
            if (!ArchiveSourceRead(*c->source, hit->data.data(), kWindowSize, c->pos, got)) {
                c->failed = true;
                hit->length = 0;
                break;
            }
            hit->start = c->pos;
            hit->length = got;
            if (got == 0) break;
        }
        hit->lastUse = ++c->uses;
        const std::size_t offset = static_cast<std::size_t>(c->pos - hit->start);
        const std::size_t n = std::min<std::size_t>(hit->length - offset, size - done);
        std::memcpy(out + done, hit->data.data() + offset, n);
        done += n;
        c->pos += n;
    }
    return done;
}

uLong ZCALLBACK WriteCursor(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK TellCursor(voidpf, voidpf stream) { return static_cast<Cursor*>(stream)->pos; }

long ZCALLBACK SeekCursor(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto* c = static_cast<Cursor*>(stream);
    uint64_t base = 0;
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
        case ZLIB_FILEFUNC_SEEK_CUR: base = c->pos; break;
        case ZLIB_FILEFUNC_SEEK_END: base = c->size; break;
        default: return -1;
    }
    // minizip moves back with a relative seek by an offset that has wrapped
    // around, so the sum is taken modulo 2^64 on purpose.
    const uint64_t target = base + offset;
    if (target > c->size) return -1;
    c->pos = target;
    return 0;
}

int ZCALLBACK CloseCursor(voidpf, voidpf stream) {
    delete static_cast<Cursor*>(stream);
    return 0;
}

int ZCALLBACK ErrorCursor(voidpf, voidpf stream) { return static_cast<Cursor*>(stream)->failed ? 1 : 0; }

}  // namespace

ArchiveFile::ArchiveFile(const std::string& path) : source_(OpenArchiveSource(path)) {
    functions_.zopen64_file = OpenCursor;
    functions_.zread_file = ReadCursor;
    functions_.zwrite_file = WriteCursor;
    functions_.ztell64_file = TellCursor;
    functions_.zseek64_file = SeekCursor;
    functions_.zclose_file = CloseCursor;
    functions_.zerror_file = ErrorCursor;
    // The open file is the opaque value each cursor starts from.
    functions_.opaque = source_.get();
}

unzFile ArchiveFile::OpenHandle() { return source_ ? unzOpen2_64("archive", &functions_) : nullptr; }

}  // namespace tavlin::unpack
