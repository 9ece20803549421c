#include "app/CmdLineParser.h"

#include "app/zebUtil.h"

namespace {

constexpr char16_t kSwitch = u'-';
constexpr char16_t kSeparator = u'=';
constexpr char16_t kQuote = u'"';
constexpr char16_t kSpace = u' ';
constexpr size_t npos = std::u16string_view::npos;

std::u16string LowerAscii(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return out;
}

}  // namespace

CCmdLineParser::CCmdLineParser(std::u16string_view text) {
    Parse(text);
}

void CCmdLineParser::Parse(std::u16string_view text) {
    cmdLine.assign(text);
    values.clear();
    // emplace never replaces, so the first occurrence of a key wins.
    auto insert = [this](std::u16string_view key, std::u16string_view value) {
        if (!key.empty()) values.emplace(LowerAscii(key), std::u16string(value));
    };

    const size_t end = text.size();
    size_t cursor = 0;
    while (cursor < end) {
        size_t mark = text.find(kSwitch, cursor);
        if (mark == npos) return;
        size_t keyStart = mark + 1;
        if (keyStart >= end) return;

        size_t separator = text.find(kSeparator, keyStart);
        if (separator == npos) {
            insert(text.substr(keyStart), {});
            return;
        }
        std::u16string_view key = text.substr(keyStart, separator - keyStart);
        if (separator == end - 1) {
            insert(key, {});
            return;
        }

        size_t valueStart = separator + 1;
        size_t terminator;
        if (text[valueStart] == kQuote) {
            ++valueStart;
            terminator = text.find(kQuote, valueStart);
        } else {
            terminator = text.find(kSpace, valueStart);
        }
        if (terminator == npos) {
            insert(key, text.substr(valueStart));
            return;
        }
        insert(key, text.substr(valueStart, terminator - valueStart));
        cursor = terminator + 1;
    }
}

const std::u16string* CCmdLineParser::GetValue(std::u16string_view key) const {
    auto it = values.find(LowerAscii(key));
    return it == values.end() ? nullptr : &it->second;
}

std::u16string CommandLineFromArgs(int argc, const char* const* argv) {
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) joined += ' ';
        joined += argv[i];
    }
    return zeb::ToWide(joined);
}
