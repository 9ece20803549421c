// The launcher's side of the question box: loads TavlinLaunchQuestion.so from
// the launcher's folder and asks through it. Main thread.
#pragma once

#include <string>
#include <string_view>

namespace launcher {

// Asks like platform::MessageBoxW with no owner: IDOK, IDCANCEL, or 0 when
// no box could be shown. A question object that is missing, does not load or
// lacks its export also gives 0, with the reason in `why`.
int AskUser(std::u16string_view text, std::u16string_view caption, unsigned type, std::string& why);

}  // namespace launcher
