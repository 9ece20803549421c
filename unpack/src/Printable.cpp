#include "unpack/Printable.h"

#include "Utf.h"

namespace tavlin::unpack {

namespace {

void Escape(std::string& out, std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (unsigned char c : bytes) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
}

}  // namespace

std::string Printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    // Bytes that are not UTF-8 (overlong forms, stray C1 bytes) could mean
    // anything to whatever reads the log: all of them are escaped then.
    bool valid = false;
    ToUtf16(text, &valid);
    if (!valid) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c < 0x20 || c >= 0x7f) Escape(out, text.substr(i, 1));
            else out += static_cast<char>(c);
        }
        return out;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        const auto third = i + 2 < text.size() ? static_cast<unsigned char>(text[i + 2]) : 0;
        if (c < 0x20 || c == 0x7f) {
            Escape(out, text.substr(i, 1));
        } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {  // U+0080..U+009F
            Escape(out, text.substr(i, 2));
            ++i;
        } else if (c == 0xe2 && next == 0x80 && (third == 0xa8 || third == 0xa9)) {  // U+2028, U+2029
            Escape(out, text.substr(i, 3));
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace tavlin::unpack
