#include "utf8_sequence.h"

namespace platform {

Utf8Sequence NextUtf8Sequence(const unsigned char* p, size_t left) {
    unsigned char lead = p[0];
    if (lead < 0x80) return {1, true};
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        // Overlong forms and surrogates are not well formed.
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return {1, false};
    }
    size_t n = 1;
    for (size_t i = 0; i < need && n < left; ++i) {
        unsigned char c = p[n];
        if (c < lo || c > hi) break;
        lo = 0x80;
        hi = 0xBF;
        ++n;
    }
    return {n, n == need + 1};
}

}  // namespace platform
