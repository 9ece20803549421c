#include "packer/PackageWriter.h"

#include <zip.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "packer/ChunkPipeline.h"
#include "packer/UnixHost.h"
#include "packer/ZipEntryMeta.h"
#include "unpack/Printable.h"

namespace tavlin::packer {

namespace {

struct ZipCloser {
    void operator()(void* zf) const { zipClose(zf, nullptr); }
};

// The one place minizip's codes become words.
std::string ZipError(int code) {
    if (code == ZIP_ERRNO) return std::string("write error: ") + std::strerror(errno);
    return "zip writer error " + std::to_string(code);
}

class Writer {
public:
    Writer(zipFile zf, std::string& error) : zf_(zf), error_(error) {}

    bool Open(const TreeEntry& e, bool deflated, bool zip64) {
        zip_fileinfo info{};
        info.dosDate = DosDateTime(e.mtime);
        info.external_fa = ExternalAttributes(e);
        const std::string extra = ExtendedTimeField(static_cast<uint32_t>(e.mtime));
        const std::string name = e.ZipName();
        const int rc = zipOpenNewFileInZip4_64(
            zf_, name.c_str(), &info, extra.data(), static_cast<uInt>(extra.size()), extra.data(),
            static_cast<uInt>(extra.size()), nullptr, deflated ? Z_DEFLATED : 0, deflated ? Z_DEFAULT_COMPRESSION : 0,
            1, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0, VersionMadeBy(zip64), NameFlags(name), zip64 ? 1 : 0);
        return Check(rc, e);
    }

    bool Write(const TreeEntry& e, const std::string& data) {
        return data.empty() || Check(zipWriteInFileInZip(zf_, data.data(), static_cast<unsigned>(data.size())), e);
    }

    bool Close(const TreeEntry& e, uint64_t size, uint32_t crc) {
        return Check(zipCloseFileInZipRaw64(zf_, size, crc), e);
    }

private:
    bool Check(int rc, const TreeEntry& e) {
        if (rc == ZIP_OK) return true;
        error_ = "cannot write \"" + unpack::Printable(e.path) + "\" into the package: " + ZipError(rc);
        return false;
    }

    zipFile zf_;
    std::string& error_;
};

}  // namespace

bool WritePackage(int rootFd, const std::vector<TreeEntry>& entries, const std::string& zipPath, unsigned threads,
                  std::string& error) {
    errno = 0;
    std::unique_ptr<void, ZipCloser> zf(zipOpen64(zipPath.c_str(), APPEND_STATUS_CREATE));
    if (!zf) {
        error = "cannot create \"" + unpack::Printable(zipPath) + "\": " + std::strerror(errno ? errno : EIO);
        return false;
    }
    const std::vector<ChunkJob> jobs = PlanChunks(entries);
    ChunkPipeline pipeline(rootFd, jobs, threads);
    std::size_t job = 0;
    Writer out(zf.get(), error);
    for (const TreeEntry& e : entries) {
        if (e.kind != EntryKind::File || e.size == 0) {
            const std::string& data = e.kind == EntryKind::Link ? e.linkTarget : std::string();
            const uint32_t crc = static_cast<uint32_t>(
                crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
            if (!out.Open(e, false, false) || !out.Write(e, data) || !out.Close(e, data.size(), crc)) return false;
            continue;
        }
        ChunkResult piece = pipeline.Next();
        if (!piece.error.empty()) {
            error = piece.error;
            return false;
        }
        const bool zip64 = NeedsZip64(e.size);
        if (!out.Open(e, !piece.stored, zip64) || !out.Write(e, piece.data)) return false;
        uint32_t crc = piece.crc;
        while (!jobs[job].last) {
            piece = pipeline.Next();
            ++job;
            if (!piece.error.empty()) {
                error = piece.error;
                return false;
            }
            if (!out.Write(e, piece.data)) return false;
            crc = static_cast<uint32_t>(crc32_combine(crc, piece.crc, static_cast<z_off_t>(jobs[job].length)));
        }
        ++job;
        if (!out.Close(e, e.size, crc)) return false;
    }
    errno = 0;
    const int rc = zipClose(zf.release(), nullptr);
    if (rc != ZIP_OK) {
        error = "cannot finish the package: " + ZipError(rc);
        return false;
    }
    std::size_t zip64Records = 0;
    if (!RestoreUnixHost(zipPath, zip64Records, error)) return false;
    if (zip64Records > 0) {
        // The installation's zip reader (minizip 1.1) does not follow Zip64
        // places: it would fail on every entry past the 4 GiB mark.
        error = "the package grows past 4 GiB, and an installation cannot read entries placed beyond that; "
                "ship less at once (a delta over the installed release)";
        return false;
    }
    return true;
}

}  // namespace tavlin::packer
