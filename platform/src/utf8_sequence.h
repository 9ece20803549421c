// Where one UTF-8 sequence ends, for the text conversions that must replace
// each broken sequence themselves. This checks the form only; the
// conversions are the system's.
#pragma once

#include <cstddef>

namespace platform {

struct Utf8Sequence {
    size_t length;  // at least 1
    bool valid;
};

// The well-formed sequence at `p` (valid), else the longest prefix that
// could still have started one: the Unicode "maximal subpart" that becomes
// one U+FFFD. `left` > 0.
Utf8Sequence NextUtf8Sequence(const unsigned char* p, size_t left);

}  // namespace platform
