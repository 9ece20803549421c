#include "download/DownloadTokens.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kRangeTestTag[] = "RangeTest";

bool ParseUnsigned(const std::string& text, int base, uint64_t* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || end != text.c_str() + text.size()) return false;
    *value = v;
    return true;
}

}  // namespace

void FormatThreadToken(char (&buffer)[32], const void* engine, int index) {
    std::snprintf(buffer, sizeof buffer, "%p+%d", engine, index);
}

bool ParseThreadToken(const char* text, uintptr_t* engine, int* index) {
    if (!text) return false;
    const char* plus = std::strchr(text, '+');
    if (!plus) return false;
    uint64_t address = 0, number = 0;
    if (!ParseUnsigned(std::string(text, plus), 16, &address) || address == 0) return false;
    if (!ParseUnsigned(plus + 1, 10, &number) || number > INT_MAX) return false;
    *engine = static_cast<uintptr_t>(address);
    *index = static_cast<int>(number);
    return true;
}

RangeTestToken::RangeTestToken(int32_t limit) {
    std::snprintf(text, sizeof text, "%s##%p##%d", kRangeTestTag, static_cast<void*>(&counter), limit);
}

bool IsRangeTestToken(const void* userPointer) {
    return userPointer &&
           std::strncmp(static_cast<const char*>(userPointer), kRangeTestTag, sizeof kRangeTestTag - 1) == 0;
}

size_t CountRangeTestBytes(const void* userPointer, size_t size, size_t count) {
    size_t bytes = size * count;
    std::string text(static_cast<const char*>(userPointer));
    size_t first = text.find("##");
    size_t second = first == std::string::npos ? first : text.find("##", first + 2);
    uint64_t address = 0;
    long limit = std::strtol(second == std::string::npos ? "" : text.c_str() + second + 2, nullptr, 10);
    if (second == std::string::npos ||
        !ParseUnsigned(text.substr(first + 2, second - first - 2), 16, &address) || address == 0)
        return bytes - 1;  // a damaged token cannot count: fail the probe
    auto* counter = reinterpret_cast<int32_t*>(static_cast<uintptr_t>(address));
    int64_t total = static_cast<int64_t>(*counter) + static_cast<int64_t>(bytes);
    *counter = total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
    return total > limit ? bytes - 1 : bytes;
}
