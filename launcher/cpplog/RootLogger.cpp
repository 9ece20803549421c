#include "cpplog/RootLogger.h"

#include "platform/text.h"

namespace cpplog {

QxLogger rootLogger;

namespace {

// The outputs are never destroyed: a record may still be written while other
// static objects go away at exit. rootLogger keeps pointers to them after
// its destruction, so they stay reachable.
struct RootLoggerSetup {
    RootLoggerSetup() {
        rootLogger.AddLogger(new QxDbgLogger(LL_TRACE, new OutputDebugStringLogger(), false));
        rootLogger.AddLogger(new QxStdLogger(LL_TRACE, new StdErrLogger(), false));
    }
};

const RootLoggerSetup rootLoggerSetup;

}  // namespace

std::string ToChsNarrow(std::u16string_view text) {
    const std::size_t nul = text.find(u'\0');
    if (nul != std::u16string_view::npos) text = text.substr(0, nul);
    bool ok = false;
    std::string narrow = platform::Utf16ToUtf8(text, platform::Unmappable::Fail, &ok);
    return ok ? narrow : std::string();
}

}  // namespace cpplog
