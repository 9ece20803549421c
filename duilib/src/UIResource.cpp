// Resource registry and zip archives over memory (minizip with memory I/O
// callbacks).
#include "duilib/UIResource.h"

#include <minizip/unzip.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "ModuleResource.h"

namespace DuiLib {

namespace {

struct Registry {
    std::mutex lock;
    std::map<std::pair<std::u16string, int>, std::span<const uint8_t>> entries;
};

Registry& TheRegistry() {
    static Registry r;
    return r;
}

// A read-only memory stream for minizip.
struct MemStream {
    std::span<const uint8_t> data;
    ZPOS64_T pos = 0;
};

voidpf MemOpen(voidpf opaque, const void*, int) {
    auto* src = static_cast<std::span<const uint8_t>*>(opaque);
    return new MemStream{*src, 0};
}

uLong MemRead(voidpf, voidpf stream, void* buf, uLong size) {
    auto* s = static_cast<MemStream*>(stream);
    ZPOS64_T left = s->data.size() - s->pos;
    uLong n = static_cast<uLong>(std::min<ZPOS64_T>(size, left));
    std::memcpy(buf, s->data.data() + s->pos, n);
    s->pos += n;
    return n;
}

uLong MemWrite(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T MemTell(voidpf, voidpf stream) { return static_cast<MemStream*>(stream)->pos; }

long MemSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto* s = static_cast<MemStream*>(stream);
    ZPOS64_T base = 0;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
    case ZLIB_FILEFUNC_SEEK_CUR: base = s->pos; break;
    case ZLIB_FILEFUNC_SEEK_END: base = s->data.size(); break;
    default: return -1;
    }
    if (base + offset > s->data.size()) return -1;
    s->pos = base + offset;
    return 0;
}

int MemClose(voidpf, voidpf stream) {
    delete static_cast<MemStream*>(stream);
    return 0;
}

int MemError(voidpf, voidpf) { return 0; }

// Owns one minizip reader over the archive's bytes.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> data) : data_(data) {
        zlib_filefunc64_def f{};
        f.zopen64_file = MemOpen;
        f.zread_file = MemRead;
        f.zwrite_file = MemWrite;
        f.ztell64_file = MemTell;
        f.zseek64_file = MemSeek;
        f.zclose_file = MemClose;
        f.zerror_file = MemError;
        f.opaque = &data_;
        zip_ = unzOpen2_64("memory", &f);
    }
    ~Reader() {
        if (zip_) unzClose(zip_);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    unzFile get() const { return zip_; }

private:
    std::span<const uint8_t> data_;
    unzFile zip_ = nullptr;
};

}  // namespace

void RegisterResource(std::u16string_view type, int id, const void* data, size_t size) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.lock);
    r.entries[{std::u16string(type), id}] = {static_cast<const uint8_t*>(data), size};
}

std::span<const uint8_t> FindResourceData(std::u16string_view type, int id) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.lock);
    auto it = r.entries.find({std::u16string(type), id});
    if (it != r.entries.end() && !it->second.empty()) return it->second;
    // What the resource compiler built into the module (Windows).
    return FindModuleResource(type, id);
}

std::shared_ptr<CZipArchive> CZipArchive::FromMemory(std::span<const uint8_t> data) {
    if (data.empty() || !Reader(data).get()) return nullptr;
    auto archive = std::make_shared<CZipArchive>();
    archive->data_ = data;
    return archive;
}

std::shared_ptr<CZipArchive> CZipArchive::FromFile(const std::string& path) {
    // A UTF-8 path: through char8_t it reaches Windows as UTF-16, not
    // through the ANSI code page.
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
    if (!in) return nullptr;
    std::ostringstream buf;
    buf << in.rdbuf();
    auto archive = std::make_shared<CZipArchive>();
    archive->owned_ = buf.str();
    archive->data_ = {reinterpret_cast<const uint8_t*>(archive->owned_.data()), archive->owned_.size()};
    if (!Reader(archive->data_).get()) return nullptr;
    return archive;
}

bool CZipArchive::Read(std::string_view name, std::string& out) const {
    Reader reader(data_);
    unzFile zip = reader.get();
    if (!zip) return false;
    // Exact, case-sensitive names: the layouts name their files as stored.
    if (unzLocateFile(zip, std::string(name).c_str(), 1) != UNZ_OK) return false;
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
    if (info.uncompressed_size > (64u << 20)) return false;
    if (unzOpenCurrentFile(zip) != UNZ_OK) return false;
    out.resize(static_cast<size_t>(info.uncompressed_size));
    int got = out.empty() ? 0 : unzReadCurrentFile(zip, out.data(), static_cast<unsigned>(out.size()));
    // unzCloseCurrentFile checks the CRC once everything was read.
    bool ok = got == static_cast<int>(out.size()) && unzCloseCurrentFile(zip) == UNZ_OK;
    if (!ok) out.clear();
    return ok;
}

}  // namespace DuiLib
