// The record file "tavlin.calls" that the stand-in client keeps beside its
// executable: what it was started with and every pipe message it received.
//
//   version <text>\n      once per start: version.txt beside the program, or "none"
//   args <N>:<N bytes>\n  once per start: argv[1..] joined by single spaces
//                         (Windows: the command line after the program
//                         name, exactly as it came)
//   pipe <N>:<N bytes>\n  per message, raw bytes (a launcher's ends in NUL)
//
// Lengths are decimal byte counts, so any bytes survive. Header-only: the
// client writes with FormatCallRecord, tests read with ReadCallsFile.
#pragma once

#include <cstddef>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace tavlin_client {

enum class CallKind { Version, Args, Pipe };

struct CallRecord {
    CallKind kind;
    std::string data;
};

inline std::string FormatCallRecord(CallKind kind, std::string_view data) {
    if (kind == CallKind::Version) {
        std::string line = "version ";
        for (char c : data) line += (c == '\n' || c == '\r') ? ' ' : c;
        return line + "\n";
    }
    std::string out = kind == CallKind::Args ? "args " : "pipe ";
    out += std::to_string(data.size());
    out += ':';
    out.append(data);
    out += '\n';
    return out;
}

// Parses every record of `text` into `out`. False at the first malformed or
// truncated record (a writer caught mid-way); the records before it are kept.
inline bool ParseCalls(std::string_view text, std::vector<CallRecord>& out) {
    out.clear();
    size_t pos = 0;
    while (pos < text.size()) {
        std::string_view rest = text.substr(pos);
        if (rest.starts_with("version ")) {
            size_t nl = rest.find('\n');
            if (nl == std::string_view::npos) return false;
            out.push_back({CallKind::Version, std::string(rest.substr(8, nl - 8))});
            pos += nl + 1;
            continue;
        }
        CallKind kind;
        if (rest.starts_with("args "))
            kind = CallKind::Args;
        else if (rest.starts_with("pipe "))
            kind = CallKind::Pipe;
        else
            return false;
        size_t i = 5;
        size_t len = 0;
        size_t digits = 0;
        while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9' && digits < 12) {
            len = len * 10 + static_cast<size_t>(rest[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || i >= rest.size() || rest[i] != ':') return false;
        ++i;
        if (rest.size() - i < len + 1 || rest[i + len] != '\n') return false;
        out.push_back({kind, std::string(rest.substr(i, len))});
        pos += i + len + 1;
    }
    return true;
}

// Reads and parses the file; a missing file reads as no records (true).
inline bool ReadCallsFile(const std::string& path, std::vector<CallRecord>& out) {
    out.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return true;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ParseCalls(text, out);
}

}  // namespace tavlin_client
