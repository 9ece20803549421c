#include "unpack/Journal.h"

#include <algorithm>

#include "JournalFormat.h"
#include "unpack/StagedName.h"

namespace tavlin::unpack {

namespace {

bool MustEscape(unsigned char c) { return c <= 0x20 || c == '%' || c == 0x7f; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Only plain names below the root: a journal is never trusted to climb out.
bool SafePath(const std::vector<std::string>& parts) {
    if (parts.empty()) return false;
    for (const std::string& p : parts) {
        if (p.empty() || p == "." || p == ".." || p.find('\0') != std::string::npos) return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> SplitJournalPath(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        parts.push_back(path.substr(start, slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return parts;
}

std::string EncodeJournalPath(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (unsigned char c : path) {
        if (MustEscape(c)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool DecodeJournalPath(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int hi = HexValue(text[i + 1]);
        const int lo = HexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

JournalContent ParseJournal(const std::string& text) {
    JournalContent content;
    std::size_t start = 0;
    bool first = true;
    // A line without its newline was cut by a kill and does not count.
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         start = end + 1, end = text.find('\n', start)) {
        const std::string line = text.substr(start, end - start);
        if (first) {
            if (line != kJournalHeader) return {};
            first = false;
            continue;
        }
        if (line.size() < 2 || line[1] != ' ') return content;
        const std::string rest = line.substr(2);
        if (line[0] == 'D') {
            std::string folder;
            if (!DecodeJournalPath(rest, folder) || !SafePath(SplitJournalPath(folder))) return content;
            content.folders.push_back(std::move(folder));
        } else if (line[0] == 'F') {
            const std::size_t space = rest.find(' ');
            StagedPair pair;
            if (space == std::string::npos || !DecodeJournalPath(rest.substr(0, space), pair.staged) ||
                !DecodeJournalPath(rest.substr(space + 1), pair.target))
                return content;
            const std::vector<std::string> staged = SplitJournalPath(pair.staged);
            const std::vector<std::string> target = SplitJournalPath(pair.target);
            // A staged file always lies beside its target.
            if (!SafePath(staged) || !SafePath(target) || staged.size() != target.size() ||
                !std::equal(staged.begin(), staged.end() - 1, target.begin()) ||
                staged.back().find(kStagedMarker) == std::string::npos)
                return content;
            content.files.push_back(std::move(pair));
        } else if (line[0] == 'C') {
            content.committed = rest == std::to_string(content.files.size());
            return content;
        } else {
            return content;
        }
    }
    return content;
}

std::string FolderRecord(const std::string& folder) { return "D " + EncodeJournalPath(folder) + "\n"; }

std::string FilesRecord(const std::vector<StagedPair>& files) {
    std::string text;
    for (const StagedPair& f : files) text += "F " + EncodeJournalPath(f.staged) + " " + EncodeJournalPath(f.target) + "\n";
    return text;
}

std::string CommitRecord(std::size_t fileCount) { return "C " + std::to_string(fileCount) + "\n"; }

}  // namespace tavlin::unpack
