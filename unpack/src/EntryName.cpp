#include "unpack/EntryName.h"

#include "Utf.h"

namespace tavlin::unpack {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

constexpr std::size_t kMaxWindowsNameUnits = 255;

// Drops everything up to and including the first of the traversal patterns.
bool DropThroughTraversal(std::u16string& name) {
    static constexpr std::u16string_view kPatterns[] = {u"\\..\\", u"\\../", u"/../", u"/..\\"};
    for (std::u16string_view pattern : kPatterns) {
        const std::size_t at = name.find(pattern);
        if (at != std::u16string::npos) {
            name.erase(0, at + pattern.size());
            return true;
        }
    }
    return false;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

// Device names open the device wherever they appear, with any extension.
bool IsReservedDeviceName(std::string_view component) {
    std::string_view base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    static constexpr std::string_view kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (std::string_view name : kPlain) {
        if (EqualsIgnoringCase(base, name)) return true;
    }
    // COM and LPT with a digit, or with a superscript one, two or three.
    static constexpr std::string_view kNumbered[] = {"COM", "LPT"};
    for (std::string_view prefix : kNumbered) {
        if (base.size() < 4 || !EqualsIgnoringCase(base.substr(0, 3), prefix)) continue;
        const std::string_view rest = base.substr(3);
        if (rest.size() == 1 && rest[0] >= '0' && rest[0] <= '9') return true;
        if (rest == "\xc2\xb9" || rest == "\xc2\xb2" || rest == "\xc2\xb3") return true;
    }
    return false;
}

}  // namespace

std::string WindowsNameProblem(std::string_view component) {
    for (const char c : component) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20) return "a control character, which Windows does not allow in a name";
        if (std::string_view("<>:\"|?*").find(c) != std::string_view::npos)
            return std::string("the character '") + c + "', which Windows does not allow in a name";
    }
    if (!component.empty() && (component.back() == '.' || component.back() == ' '))
        return "a trailing dot or space, which Windows drops from a name";
    // Longer names pass every check and fail only when the commit moves them in.
    if (ToUtf16(component).size() > kMaxWindowsNameUnits)
        return "more than the " + std::to_string(kMaxWindowsNameUnits) + " characters Windows allows in a name";
    if (IsReservedDeviceName(component)) return "a name Windows reserves for a device";
    return {};
}

std::u16string CleanEntryName(std::u16string name) {
    for (;;) {
        if (name.size() >= 2 && name[1] == u':') {
            name.erase(0, 2);
        } else if (!name.empty() && (name[0] == u'\\' || name[0] == u'/')) {
            name.erase(0, 1);
        } else if (!DropThroughTraversal(name)) {
            return name;
        }
    }
}

std::string EntryPath::Joined() const {
    std::string out;
    for (const std::string& c : components) {
        if (!out.empty()) out += '/';
        out += c;
    }
    return out;
}

std::optional<EntryPath> ResolveEntryPath(std::string_view name) {
    EntryPath path;
    path.endsWithSeparator = !name.empty() && IsSeparator(name.back());
    std::size_t pos = 0;
    while (pos <= name.size()) {
        std::size_t end = pos;
        while (end < name.size() && !IsSeparator(name[end])) ++end;
        const std::string_view part = name.substr(pos, end - pos);
        if (part == "..") {
            if (path.components.empty()) return std::nullopt;
            path.components.pop_back();
        } else if (!part.empty() && part != ".") {
            path.components.emplace_back(part);
        }
        pos = end + 1;
    }
    return path;
}

std::optional<EntryPath> EntryPathFromName(std::string_view storedName) {
    if (storedName.find('\0') != std::string_view::npos) return std::nullopt;
    const std::u16string cleaned = CleanEntryName(ToUtf16(storedName));
    return ResolveEntryPath(ToUtf8(cleaned));
}

bool LinkTargetInsideRoot(const std::vector<std::string>& linkFolder, std::string_view target) {
    if (target.empty() || target.front() == '/' || target.find('\0') != std::string_view::npos)
        return false;
    // The link's own folders are real folders (they were walked without
    // following links), so leading ".." components climb them exactly. A ".."
    // after a named component would climb out of whatever that component
    // really is (itself perhaps a link to "."), so it is refused.
    std::size_t depth = linkFolder.size();
    bool named = false;
    std::size_t pos = 0;
    while (pos <= target.size()) {
        std::size_t end = target.find('/', pos);
        if (end == std::string_view::npos) end = target.size();
        const std::string_view part = target.substr(pos, end - pos);
        if (part == "..") {
            if (named || depth == 0) return false;
            --depth;
        } else if (!part.empty() && part != ".") {
            named = true;
        }
        pos = end + 1;
    }
    return true;
}

}  // namespace tavlin::unpack
