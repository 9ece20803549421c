#include "cpplog/Loggers.h"

#include <iostream>

#include "platform/debug_output.h"

namespace cpplog {

bool OstreamLogger::SendRecord(LogData& data) {
    const std::size_t len = data.length();
    data.buffer[len] = '\0';
    stream.write(data.buffer, static_cast<std::streamsize>(len));
    stream.flush();
    return true;
}

StdErrLogger::StdErrLogger() : OstreamLogger(std::cerr) {}

OutputDebugStringBuf::OutputDebugStringBuf(DebugSink sink) : sink_(std::move(sink)) {
    if (!sink_) sink_ = [](const char* text) { platform::OutputDebugStringA(text); };
    setp(area_, area_ + kAreaSize);
}

void OutputDebugStringBuf::Emit() {
    const std::ptrdiff_t n = pptr() - pbase();
    if (n == 0) return;
    area_[n] = '\0';
    sink_(area_);
    setp(area_, area_ + kAreaSize);
}

OutputDebugStringBuf::int_type OutputDebugStringBuf::overflow(int_type ch) {
    Emit();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(ch);
        pbump(1);
    }
    return traits_type::not_eof(ch);
}

int OutputDebugStringBuf::sync() {
    Emit();
    return 0;
}

OutputDebugStringLogger::OutputDebugStringLogger(DebugSink sink)
    : detail::OutputDebugStreamHolder(std::move(sink)), OstreamLogger(debugStream) {}

FilteringLogger::~FilteringLogger() {
    if (ownsForward) delete forwardTo;
}

bool FilteringLogger::SendRecord(LogData& data) {
    if (data.level < lowestLevel) return true;
    return forwardTo ? forwardTo->SendRecord(data) : false;
}

}  // namespace cpplog
