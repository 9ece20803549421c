#include "unpack/StagedName.h"

#include <random>

namespace tavlin::unpack {

namespace {

// The longest file name the file systems of both platforms take.
constexpr std::size_t kMaxNameBytes = 255;

std::string RandomSuffix() {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 rng{std::random_device{}()};
    std::string s(6, 'x');
    for (char& c : s) c = kChars[rng() % (sizeof(kChars) - 1)];
    return s;
}

}  // namespace

std::string StagedNameFor(const std::string& name) {
    const std::string marker = std::string(kStagedMarker) + RandomSuffix();
    if (1 + name.size() + marker.size() > kMaxNameBytes) return marker;
    return "." + name + marker;
}

bool LooksStaged(const std::string& name) {
    const std::size_t marker = std::char_traits<char>::length(kStagedMarker);
    if (name.size() < marker + 6 || name[0] != '.') return false;
    const std::size_t at = name.size() - 6 - marker;
    if (name.compare(at, marker, kStagedMarker) != 0) return false;
    bool mixed = false;
    for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
        mixed = mixed || !(c >= 'a' && c <= 'z');
    }
    // Six lower-case letters are more likely a word ("backup") than one of
    // the random suffixes, nearly all of which hold a capital or a digit.
    return mixed;
}

}  // namespace tavlin::unpack
