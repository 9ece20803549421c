#include "Plan.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "unpack/Journal.h"
#include "unpack/StagedName.h"

namespace tavlin::unpack {

std::string UnzError(int code) {
    switch (code) {
        case UNZ_CRCERROR: return "data does not match its CRC";
        case UNZ_BADZIPFILE: return "damaged or unsupported entry";
        case UNZ_ERRNO: return std::string("read error: ") + std::strerror(errno);
        case UNZ_INTERNALERROR: return "internal error of the zip reader";
        case UNZ_PARAMERROR: return "bad parameter to the zip reader";
        case UNZ_EOF: return "unexpected end of the data";
        case Z_DATA_ERROR: return "damaged compressed data";
        case Z_MEM_ERROR: return "out of memory";
        default: return "zip reader error " + std::to_string(code);
    }
}

bool ReadPlan(unzFile uf, std::vector<Planned>& plan, FailureSlot& failure) {
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(uf, &global) != UNZ_OK) {
        failure.Set(0, "", "the archive's directory cannot be read");
        return false;
    }
    std::vector<char> name(kMaxFieldSize);
    std::vector<unsigned char> extra(kMaxFieldSize);
    for (std::size_t order = 0; order < global.number_entry; ++order) {
        unz_file_info64 info{};
        if ((order == 0 ? unzGoToFirstFile(uf) : unzGoToNextFile(uf)) != UNZ_OK ||
            unzGetCurrentFileInfo64(uf, &info, name.data(), name.size(), extra.data(), extra.size(), nullptr,
                                    0) != UNZ_OK) {
            failure.Set(order, "", "entry record " + std::to_string(order) + " cannot be read");
            return false;
        }
        Planned e;
        e.order = order;
        e.storedName.assign(name.data(), std::min<std::size_t>(info.size_filename, name.size()));
        e.attributes =
            AttributesFromZip(static_cast<uint16_t>(info.version), static_cast<uint32_t>(info.external_fa));
        std::optional<EntryPath> path = EntryPathFromName(e.storedName);
        if (!path) {
            failure.Set(order, e.storedName, "name leads outside the folder");
            return false;
        }
        if (info.flag & 1) {
            failure.Set(order, e.storedName, "encrypted");
            return false;
        }
        if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
            failure.Set(order, e.storedName,
                        "unsupported compression method " + std::to_string(info.compression_method));
            return false;
        }
        e.path = std::move(*path);
        e.kind = (e.attributes.directory || e.path.endsWithSeparator) ? Kind::Folder
                 : e.attributes.symlink                               ? Kind::Link
                                                                      : Kind::File;
        if (e.kind != Kind::Folder && e.path.components.empty()) {
            failure.Set(order, e.storedName, "no file name");
            return false;
        }
        if (e.path.components.size() == 1 && e.path.components[0] == kJournalName) {
            failure.Set(order, e.storedName, "name is reserved for the installation's journal");
            return false;
        }
        if (std::any_of(e.path.components.begin(), e.path.components.end(), LooksStaged)) {
            failure.Set(order, e.storedName, "name has the form of a file being installed");
            return false;
        }
        if (e.kind == Kind::Link && info.uncompressed_size > kMaxLinkTarget) {
            failure.Set(order, e.storedName, "link target too long");
            return false;
        }
        unzGetFilePos64(uf, &e.pos);
        e.size = info.uncompressed_size;
        e.compressedSize = info.compressed_size;
        e.times = TimesFromZip(static_cast<uint32_t>(info.dosDate), extra.data(),
                               std::min<std::size_t>(info.size_file_extra, extra.size()));
        plan.push_back(std::move(e));
    }
    return true;
}

void DropSuperseded(std::vector<Planned>& plan) {
    std::unordered_map<std::string, std::size_t> last;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].kind != Kind::Folder) last[plan[i].path.Joined()] = i;
    }
    std::vector<Planned> kept;
    kept.reserve(plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (plan[i].kind == Kind::Folder || last[plan[i].path.Joined()] == i) kept.push_back(std::move(plan[i]));
    }
    plan.swap(kept);
}

}  // namespace tavlin::unpack
