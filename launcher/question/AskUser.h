// The launcher's side of the question box: loads TavlinLaunchQuestion.so from
// the launcher's folder and asks through it. Main thread.
#pragma once

#include <string>
#include <string_view>

namespace launcher {

// The buttons and answers as platform::MessageBoxW numbers them (MB_OKCANCEL,
// IDOK), under names of their own: on Windows the system's header makes
// macros of those names.
inline constexpr unsigned kAskOkCancel = 0x1;
inline constexpr int kAnswerOk = 1;

// Asks like platform::MessageBoxW with no owner: IDOK, IDCANCEL, or 0 when
// no box could be shown. A question object that is missing, does not load or
// lacks its export also gives 0, with the reason in `why`.
int AskUser(std::u16string_view text, std::u16string_view caption, unsigned type, std::string& why);

}  // namespace launcher
