#include "ProgressText.h"

#include <limits>
#include <string>

#include "platform/text.h"

namespace zeb_ui {
namespace {

// The numbers are formatted as signed 32-bit values, as the window's
// format strings take them.
std::u16string Number(int64_t value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

std::u16string AsSigned32(uint32_t value) { return Number(static_cast<int32_t>(value)); }

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

std::u16string TruncateUnits(std::u16string text, size_t maxUnits) {
    if (text.size() <= maxUnits) return text;
    size_t keep = maxUnits;
    // A high surrogate whose partner would be cut off goes too.
    if (keep > 0 && IsHighSurrogate(text[keep - 1])) --keep;
    text.resize(keep);
    return text;
}

std::u16string VersionLabelText(std::string_view newVersion, std::string_view current) {
    if (!newVersion.empty())
        return TruncateUnits(u"最新版本：" + TruncateUnits(platform::Utf8ToUtf16(newVersion), kMaxVersionUnits),
                             kMaxLabelUnits);
    return TruncateUnits(u"当前版本：" + TruncateUnits(platform::Utf8ToUtf16(current), kMaxVersionUnits), kMaxLabelUnits);
}

std::vector<std::u16string> SplitReleaseNotes(std::string_view prompt) {
    std::vector<std::u16string> pieces;
    size_t start = 0;
    while (start < prompt.size()) {
        const size_t star = prompt.find('*', start);
        const std::string_view piece =
            prompt.substr(start, star == std::string_view::npos ? std::string_view::npos : star - start);
        pieces.push_back(TruncateUnits(platform::Utf8ToUtf16(piece), kMaxNoteUnits));
        if (star == std::string_view::npos) break;
        start = star + 1;
    }
    return pieces;
}

TickNumbers ComputeTick(int64_t downloaded, int64_t total, uint32_t lastDownloaded) {
    TickNumbers tick;
    if (total != 0) {
        // The counters come from 32-bit ones; the guard keeps the product in
        // range should that ever change.
        const int64_t scaled = downloaded > std::numeric_limits<int64_t>::max() / 100
                                   ? downloaded / total * 100
                                   : downloaded * 100 / total;
        tick.percent = scaled > std::numeric_limits<int>::max()   ? std::numeric_limits<int>::max()
                       : scaled < std::numeric_limits<int>::min() ? std::numeric_limits<int>::min()
                                                                  : static_cast<int>(scaled);
    }
    const uint32_t now = static_cast<uint32_t>(downloaded);
    tick.speed = now >= lastDownloaded ? now - lastDownloaded : 0;
    return tick;
}

std::u16string RetryText(uint32_t retryCount, bool chinese) {
    if (retryCount == 0) return {};
    return chinese ? u"（重试第" + AsSigned32(retryCount) + u"次)"
                   : u"（Retring for " + AsSigned32(retryCount) + u" times)";
}

std::u16string SpeedText(uint32_t speed) {
    if (speed < 1024) return AsSigned32(speed) + u" B/s";
    if (speed <= 1048576) return AsSigned32(speed / 1024) + u" KB/s";
    return AsSigned32(speed / 1048576) + u" MB/s";
}

std::u16string StatusText(int percent, uint32_t retryCount, uint32_t speed, bool forced, bool chinese) {
    const std::u16string retry = RetryText(retryCount, chinese);
    const std::u16string pct = Number(percent) + u"%";
    std::u16string text;
    if (!forced && chinese)
        text = u"已下载：" + pct + retry + u"  下载速度：" + SpeedText(speed);
    else if (!forced)
        text = u"Download updatings..." + std::u16string(u"...") + pct + retry;
    else if (chinese)
        text = u"客户端有新版本，正在自动更新，请稍候哦" + pct + retry;
    else
        text = u"Find new version for client, updating now ..." + std::u16string(u"...") + pct + retry;
    return TruncateUnits(std::move(text), kMaxLabelUnits);
}

std::u16string CompletionText(bool chinese) {
    return chinese ? u"已下载：100%   新版本将在下次启动时安装！！" : u"Reopen to update it";
}

}  // namespace zeb_ui
