// Call-site names for log records, computed at compile time so a record
// costs the caller nothing for them.
//
//   SourceUnitOf("/src/updater/download/CurlDownload.cpp") -> "/src/updater/download/CurlDownload"
//     (the logger keeps the part after the last "/": "CurlDownload")
//   FunctionNameOf("bool CurlDownloader::Start(const std::string&)") -> "CurlDownloader::Start"
#pragma once

#include <cstddef>
#include <string_view>

namespace updater_log {

// The source path without its extension; the folder stays for the logger
// to cut.
constexpr std::string_view SourceUnitOf(std::string_view path) {
    size_t slash = path.rfind('/');
    size_t base = slash == std::string_view::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    if (dot != std::string_view::npos && dot > base) return path.substr(0, dot);
    return path;
}

namespace detail {

constexpr bool StartsWith(std::string_view s, size_t at, std::string_view prefix) {
    return s.substr(at, prefix.size()) == prefix;
}

constexpr bool IsIdentChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Index of the ")" that closes the "(" at `open`, or npos.
constexpr size_t CloseParen(std::string_view s, size_t open) {
    int depth = 0;
    for (size_t i = open; i < s.size(); ++i) {
        if (s[i] == '(') ++depth;
        else if (s[i] == ')' && --depth == 0) return i;
    }
    return std::string_view::npos;
}

// Groups in parentheses that compilers write inside qualified names, such as
// clang's "(anonymous namespace)" and "(lambda at file:1:2)".
constexpr bool IsNameGroup(std::string_view s, size_t open) {
    return StartsWith(s, open, "(anonymous ") || StartsWith(s, open, "(lambda at ");
}

// Where the function's own name ends: the "(" of its parameter list.
constexpr size_t NameEnd(std::string_view s) {
    int angle = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (StartsWith(s, i, "operator") && (i == 0 || !IsIdentChar(s[i - 1])) &&
            (i + 8 >= s.size() || !IsIdentChar(s[i + 8]))) {
            // The operator's own symbol may hold "(", "<" or ">".
            size_t j = i + 8;
            if (StartsWith(s, j, "()")) j += 2;
            size_t open = s.find('(', j);
            return open == std::string_view::npos ? s.size() : open;
        }
        if (c == '<') ++angle;
        else if (c == '>' && angle > 0) --angle;
        else if (c == '(') {
            if (IsNameGroup(s, i)) {
                size_t close = CloseParen(s, i);
                if (close == std::string_view::npos) return s.size();
                i = close;
            } else if (angle == 0) {
                return i;
            }
        }
    }
    return s.size();
}

// Where the name starts: after the return type (the last space, "*" or "&"
// outside brackets before `end`). Operator symbols are skipped first.
constexpr size_t NameStart(std::string_view s, size_t end) {
    size_t op = s.substr(0, end).rfind("operator");
    size_t i = (op != std::string_view::npos && (op == 0 || !IsIdentChar(s[op - 1]))) ? op : end;
    int depth = 0;
    while (i > 0) {
        char c = s[i - 1];
        if (c == ')' || c == '>' || c == '}') ++depth;
        else if ((c == '(' || c == '<' || c == '{') && depth > 0) --depth;
        else if (depth == 0 && (c == ' ' || c == '*' || c == '&')) return i;
        --i;
    }
    return 0;
}

}  // namespace detail

// "Namespace::Class::Method" from a compiler's pretty function text: return
// type, parameters, qualifiers and template bindings removed. A lambda gives
// the function it stands in.
constexpr std::string_view FunctionNameOf(std::string_view pretty) {
    size_t end = detail::NameEnd(pretty);
    size_t start = detail::NameStart(pretty, end);
    return pretty.substr(start, end - start);
}

}  // namespace updater_log
