// Fuzzes the command-line parser and the job parameters built from it.
//
// Input: the first byte picks the encoding of the rest: even, UTF-8
// (readable seeds); odd, raw UTF-16LE units (unpaired surrogates and all).
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/CmdLineParser.h"
#include "app/UpdaterApp.h"
#include "app/zebUtil.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

std::u16string Decode(const uint8_t* data, size_t size) {
    if (size == 0) return {};
    if ((data[0] & 1) == 0) return zeb::ToWide(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    std::u16string text;
    for (size_t i = 1; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    return text;
}

std::u16string Upper(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return text;
}

std::u16string Value(const CCmdLineParser& parser, std::u16string_view key) {
    const std::u16string* v = parser.GetValue(key);
    return v ? *v : std::u16string();
}

// The C runtime's reading, for values made of ASCII only.
bool AsciiOnly(const std::u16string& text) {
    for (char16_t c : text) {
        if (c == 0 || c > 0x7f) return false;
    }
    return true;
}

int32_t ReferenceDecimal(const std::u16string& text) {
    std::string narrow(text.begin(), text.end());
    long long v = std::strtoll(narrow.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int32_t>(v);
}

void CheckParser(const std::u16string& text) {
    CCmdLineParser parser(text);
    // Every key that could have been written: the text after a "-" up to
    // the next "=" (or the end).
    for (size_t mark = text.find(u'-'); mark != std::u16string::npos; mark = text.find(u'-', mark + 1)) {
        size_t eq = text.find(u'=', mark + 1);
        std::u16string key = text.substr(mark + 1, eq == std::u16string::npos ? std::u16string::npos : eq - mark - 1);
        const std::u16string* value = parser.GetValue(key);
        if (value == nullptr) continue;
        if (text.find(*value) == std::u16string::npos) Fail("a value that is not a piece of the text");
        const std::u16string* again = parser.GetValue(Upper(key));
        if (again != value) Fail("lookup depends on the case of A-Z");
    }
    CCmdLineParser reparsed;
    reparsed.Parse(u"-url=stale -md5=stale");
    reparsed.Parse(text);
    for (const char16_t* key :
         {u"url", u"md5", u"pagecallparam", u"forcedupdate", u"newver", u"prompt", u"sha256", u"sig"}) {
        const std::u16string* a = parser.GetValue(key);
        const std::u16string* b = reparsed.GetValue(key);
        if ((a == nullptr) != (b == nullptr) || (a && *a != *b)) Fail("parsing again gives another table");
    }
}

void CheckParams(const std::u16string& text) {
    CCmdLineParser parser(text);
    UpdateParams p = parseZipConf(text);
    if (p.zipMd5 != zeb::ToNarrow(Value(parser, u"md5"))) Fail("zipMd5");
    if (p.zipUrl != zeb::ToNarrow(Value(parser, u"url")) + "?" + p.zipMd5) Fail("zipUrl");
    if (p.pageCallParam != zeb::ToNarrow(Value(parser, u"pagecallparam"))) Fail("pageCallParam");
    if (p.newVersion != zeb::ToNarrow(Value(parser, u"newver"))) Fail("newVersion");
    if (p.prompt != zeb::ToNarrow(Value(parser, u"prompt"))) Fail("prompt");
    if (p.zipSha256 != zeb::ToNarrow(Value(parser, u"sha256"))) Fail("zipSha256");
    if (p.zipSignature != zeb::ToNarrow(Value(parser, u"sig"))) Fail("zipSignature");
    if (!p.relaunch) Fail("relaunch");
    const std::u16string forced = Value(parser, u"forcedupdate");
    if (p.forcedUpdate != ReadDecimal(forced)) Fail("forcedUpdate");
    if (AsciiOnly(forced) && p.forcedUpdate != ReferenceDecimal(forced)) Fail("forcedUpdate differs from strtol");
    static const UpdateParams fixed = [] {
        UpdateParams f;
        FillJobPaths(f, zeb::GetModuleDir());
        return f;
    }();
    if (p.zipPath != fixed.zipPath || p.extractDir != fixed.extractDir || p.launcherPath != fixed.launcherPath)
        Fail("paths depend on the command line");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No state folder can be made below a device file: the log stays closed
    // instead of gaining a file per input.
    ::setenv("XDG_STATE_HOME", "/dev/null/state", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::u16string text = Decode(data, size);
    CheckParser(text);
    CheckParams(text);
    return 0;
}
