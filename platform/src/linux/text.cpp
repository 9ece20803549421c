#include "platform/text.h"

#include <iconv.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "utf8_sequence.h"

namespace platform {

namespace {

constexpr const char* kUtf16Name =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) ::iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts as much as it can; `in`/`out` advance past what was done.
    // Returns 0 or the errno iconv stopped with.
    int Run(const char*& in, size_t& inLeft, char*& out, size_t& outLeft) {
        char* src = const_cast<char*>(in);
        size_t r = ::iconv(cd_, &src, &inLeft, &out, &outLeft);
        in = src;
        return r == static_cast<size_t>(-1) ? errno : 0;
    }

private:
    iconv_t cd_;
};

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Converts one run that holds no unpaired surrogate.
bool AppendUtf8(Iconv& cv, std::u16string_view run, std::string& out) {
    if (run.empty()) return true;
    const char* in = reinterpret_cast<const char*>(run.data());
    size_t inLeft = run.size() * sizeof(char16_t);
    size_t start = out.size();
    out.resize(start + run.size() * 3 + 4);
    char* dst = out.data() + start;
    size_t outLeft = out.size() - start;
    int err = cv.Run(in, inLeft, dst, outLeft);
    out.resize(static_cast<size_t>(dst - out.data()));
    return err == 0 && inLeft == 0;
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text, Unmappable mode, bool* ok) {
    if (ok) *ok = false;
    Iconv cv("UTF-8", kUtf16Name);
    if (!cv.ok()) return {};

    // iconv refuses unpaired surrogates, so convert the runs between them and
    // deal with each lone surrogate here.
    std::string out;
    out.reserve(text.size());
    size_t runStart = 0;
    size_t i = 0;
    while (i < text.size()) {
        char16_t u = text[i];
        if (IsHigh(u) && i + 1 < text.size() && IsLow(text[i + 1])) {
            i += 2;
            continue;
        }
        if (!IsHigh(u) && !IsLow(u)) {
            ++i;
            continue;
        }
        if (mode == Unmappable::Fail) return {};
        if (!AppendUtf8(cv, text.substr(runStart, i - runStart), out)) return {};
        out.push_back('?');
        ++i;
        runStart = i;
    }
    if (!AppendUtf8(cv, text.substr(runStart), out)) return {};
    if (ok) *ok = true;
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text, bool* ok) {
    if (ok) *ok = false;
    Iconv cv(kUtf16Name, "UTF-8");
    if (!cv.ok()) return {};

    std::u16string out(text.size() + 1, u'\0');
    const char* in = text.data();
    size_t inLeft = text.size();
    char* dst = reinterpret_cast<char*>(out.data());
    size_t outLeft = out.size() * sizeof(char16_t);
    bool allValid = true;
    while (inLeft > 0) {
        int err = cv.Run(in, inLeft, dst, outLeft);
        if (err == 0) break;
        if (err != EILSEQ && err != EINVAL) return {};
        // Each UTF-8 byte yields at most one unit, so the output never runs
        // short; only a broken sequence stops iconv here.
        allValid = false;
        // One U+FFFD per maximal invalid subpart, as Unicode advises.
        size_t skip = NextUtf8Sequence(reinterpret_cast<const unsigned char*>(in), inLeft).length;
        in += skip;
        inLeft -= skip;
        char16_t replacement = u'\xFFFD';
        if (outLeft < sizeof replacement) return {};
        std::memcpy(dst, &replacement, sizeof replacement);
        dst += sizeof replacement;
        outLeft -= sizeof replacement;
    }
    out.resize(static_cast<size_t>(reinterpret_cast<char16_t*>(dst) - out.data()));
    if (ok) *ok = allValid;
    return out;
}

// UTF-8 is this system's narrow text.
std::string Utf16ToSystemNarrow(std::u16string_view text) { return Utf16ToUtf8(text, Unmappable::Replace); }

}  // namespace platform
