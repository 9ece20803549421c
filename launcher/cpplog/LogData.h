// One log record: a fixed text buffer with a stream over it, and where and
// when the record was made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <streambuf>

namespace cpplog {

using loglevel_t = uint32_t;

constexpr loglevel_t LL_TRACE = 0;
constexpr loglevel_t LL_DEBUG = 1;
constexpr loglevel_t LL_INFO = 2;
constexpr loglevel_t LL_WARN = 3;
constexpr loglevel_t LL_ERROR = 4;
constexpr loglevel_t LL_FATAL = 5;

// "TRACE" ... "FATAL", "OTHER" for any other value.
const char* LevelName(loglevel_t level);
// "T" ... "F", "O" for any other value.
const char* LevelLetter(loglevel_t level);

namespace helpers {

// A stream buffer whose put area is exactly the given memory. Once it is full
// every further character is refused, so the stream writing into it fails
// and the rest of the record is dropped: a record never grows.
class fixed_streambuf : public std::streambuf {
public:
    fixed_streambuf(char* begin, std::size_t size) { setp(begin, begin + size); }
    std::size_t length() const { return static_cast<std::size_t>(pptr() - pbase()); }
    bool full() const { return pptr() == epptr(); }

protected:
    int_type overflow(int_type) override { return traits_type::eof(); }
};

}  // namespace helpers

// Characters a record can hold (the buffer has one more for the NUL).
constexpr std::size_t kLogBufferSize = 20000;

struct LogData {
    explicit LogData(loglevel_t lvl = LL_INFO);
    LogData(const LogData&) = delete;
    LogData& operator=(const LogData&) = delete;
    virtual ~LogData() = default;

    // Characters written so far.
    std::size_t length() const { return streamBuffer.length(); }

    helpers::fixed_streambuf streamBuffer;
    char buffer[kLogBufferSize + 1];
    std::ostream stream;
    loglevel_t level;
    uint32_t line = 0;
    const char* fullPath = "";
    const char* fileName = "";
    int64_t messageTime = 0;
    std::tm utcTime{};
};

}  // namespace cpplog
