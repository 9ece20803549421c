#include "cpplog/LogData.h"

namespace cpplog {

namespace {

constexpr const char* kNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
constexpr const char* kLetters[] = {"T", "D", "I", "W", "E", "F"};

}  // namespace

const char* LevelName(loglevel_t level) { return level <= LL_FATAL ? kNames[level] : "OTHER"; }

const char* LevelLetter(loglevel_t level) { return level <= LL_FATAL ? kLetters[level] : "O"; }

// streamBuffer is set up over `buffer` before the array is constructed; that
// only records its address, which is fixed already.
LogData::LogData(loglevel_t lvl)
    : streamBuffer(buffer, kLogBufferSize), stream(&streamBuffer), level(lvl) {
    buffer[0] = '\0';
    buffer[kLogBufferSize] = '\0';
}

}  // namespace cpplog
