#include "download/HashDigest.h"

std::string HexOf(const unsigned char* bytes, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0f];
    }
    return text;
}
