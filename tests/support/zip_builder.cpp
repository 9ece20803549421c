#include "zip_builder.h"

#include <zip.h>
#include <zlib.h>

#include <stdexcept>

namespace tavlin_test {

namespace {

void Check(int rc, const char* what, const std::string& name) {
    if (rc != ZIP_OK) throw std::runtime_error(std::string(what) + " failed for \"" + name + "\": " + std::to_string(rc));
}

// Raw deflate (no zlib header), as zip entries hold it.
std::string RawDeflate(const std::string& data) {
    z_stream s{};
    if (deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&s, data.size()), '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    return out;
}

void PutLe(std::string& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

}  // namespace

uint32_t DosDateTime(int year, int month, int day, int hour, int minute, int second) {
    const uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | (month << 5) | day);
    const uint32_t time = static_cast<uint32_t>((hour << 11) | (minute << 5) | (second / 2));
    return (date << 16) | time;
}

std::string ExtraBlock(uint16_t tag, const std::string& data) {
    std::string out;
    PutLe(out, tag, 2);
    PutLe(out, static_cast<uint32_t>(data.size()), 2);
    return out + data;
}

std::string UtExtraField(uint8_t flags, const std::vector<uint32_t>& times) {
    std::string data(1, static_cast<char>(flags));
    for (uint32_t t : times) PutLe(data, t, 4);
    return ExtraBlock(0x5455, data);
}

ZipBuilder::ZipBuilder(const std::string& path) {
    zip_ = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (!zip_) throw std::runtime_error("cannot create zip " + path);
}

ZipBuilder::~ZipBuilder() {
    if (zip_) zipClose(zip_, nullptr);
}

ZipBuilder& ZipBuilder::Add(const ZipEntry& e) {
    if (!zip_) throw std::runtime_error("zip already closed");
    zip_fileinfo info{};
    info.dosDate = e.dosDateTime;
    info.external_fa = e.externalAttributes;
    const bool raw = e.declaredCrc || e.declaredSize;
    const uLong versionMadeBy = (static_cast<uLong>(e.host) << 8) | 20;
    const int method = e.deflate ? Z_DEFLATED : 0;
    const void* extra = e.extra.empty() ? nullptr : e.extra.data();
    const uInt extraSize = static_cast<uInt>(e.extra.size());
    Check(zipOpenNewFileInZip4_64(zip_, e.name.c_str(), &info, extra, extraSize, extra, extraSize,
                                  nullptr, method, Z_DEFAULT_COMPRESSION, raw ? 1 : 0, -MAX_WBITS,
                                  8, Z_DEFAULT_STRATEGY, nullptr, 0, versionMadeBy, 0, 0),
          "zipOpenNewFileInZip4_64", e.name);
    const std::string payload = (raw && e.deflate) ? RawDeflate(e.data) : e.data;
    if (!payload.empty())
        Check(zipWriteInFileInZip(zip_, payload.data(), static_cast<unsigned>(payload.size())),
              "zipWriteInFileInZip", e.name);
    if (raw) {
        const uLong trueCrc = crc32(0, reinterpret_cast<const Bytef*>(e.data.data()),
                                    static_cast<uInt>(e.data.size()));
        Check(zipCloseFileInZipRaw64(zip_, e.declaredSize.value_or(e.data.size()),
                                     e.declaredCrc.value_or(static_cast<uint32_t>(trueCrc))),
              "zipCloseFileInZipRaw64", e.name);
    } else {
        Check(zipCloseFileInZip(zip_), "zipCloseFileInZip", e.name);
    }
    return *this;
}

ZipBuilder& ZipBuilder::AddFile(const std::string& name, const std::string& data, uint32_t mode) {
    ZipEntry e;
    e.name = name;
    e.data = data;
    e.externalAttributes = UnixAttributes(0100000 | mode);
    return Add(e);
}

ZipBuilder& ZipBuilder::AddDir(const std::string& name) {
    ZipEntry e;
    e.name = name;
    e.deflate = false;
    e.externalAttributes = UnixAttributes(040755) | 0x10;
    return Add(e);
}

ZipBuilder& ZipBuilder::AddSymlink(const std::string& name, const std::string& target) {
    ZipEntry e;
    e.name = name;
    e.data = target;
    e.deflate = false;
    e.externalAttributes = UnixAttributes(0120777);
    return Add(e);
}

void ZipBuilder::Close() {
    if (!zip_) return;
    const int rc = zipClose(zip_, nullptr);
    zip_ = nullptr;
    if (rc != ZIP_OK) throw std::runtime_error("zipClose failed: " + std::to_string(rc));
}

void WriteZip(const std::string& path, const std::vector<ZipEntry>& entries) {
    ZipBuilder zip(path);
    for (const ZipEntry& e : entries) zip.Add(e);
    zip.Close();
}

}  // namespace tavlin_test
