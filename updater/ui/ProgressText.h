// The texts and numbers of the progress window: version label, release
// notes, the per-tick percentage and speed, and the status line. Pure
// functions of their arguments; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zeb_ui {

// Longest texts the window shows, in UTF-16 units.
constexpr size_t kMaxVersionUnits = 100;  // the version string itself
constexpr size_t kMaxLabelUnits = 259;    // version label and status line
constexpr size_t kMaxNoteUnits = 260;     // one release-note line

// Cuts text to at most maxUnits UTF-16 units without splitting a
// surrogate pair.
std::u16string TruncateUnits(std::u16string text, size_t maxUnits);

// "最新版本：<newVersion>", or "当前版本：<current>" when newVersion is empty.
std::u16string VersionLabelText(std::string_view newVersion, std::string_view current);

// The release notes cut at every "*": empty pieces between adjacent
// separators (or before a leading one) are kept, a trailing separator adds
// no piece, an empty text gives none. Each piece converted and cut to
// kMaxNoteUnits.
std::vector<std::u16string> SplitReleaseNotes(std::string_view prompt);

// One tick's numbers from the job's counters.
struct TickNumbers {
    int percent = 0;     // downloaded * 100 / total, truncated; 0 without a total
    uint32_t speed = 0;  // bytes since the previous tick
};

// `lastDownloaded` is the low 32 bits of the count at the previous tick.
// When the count fell (a failed verification resets it to 0) there is no
// meaningful difference, and the speed is 0.
TickNumbers ComputeTick(int64_t downloaded, int64_t total, uint32_t lastDownloaded);

// "" for 0, else "（重试第N次)" or "（Retring for N times)".
std::u16string RetryText(uint32_t retryCount, bool chinese);

// "N B/s" below 1024, "N KB/s" up to 1048576 inclusive, "N MB/s" above.
std::u16string SpeedText(uint32_t speed);

// The status line while downloading. percent is shown as given.
std::u16string StatusText(int percent, uint32_t retryCount, uint32_t speed, bool forced, bool chinese);

// The status line once the package is ready in the ordinary mode.
std::u16string CompletionText(bool chinese);

}  // namespace zeb_ui
