#include "platform/spawn.h"

namespace platform {

std::string QuoteCommandLineArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    // Backslashes are literal unless a quote follows them; then each one
    // must be doubled, and the quote itself escaped.
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    // The closing quote follows them too.
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

}  // namespace platform
