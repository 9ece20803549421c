// The launcher's question box lives in a shared object beside the launcher,
// so the window system (X11, cairo, pango) is loaded only on the road that
// has to ask, and a start with no client running does not pay for it.
#pragma once

#include <cstddef>

#include "platform/export.h"

// File name of the shared object (Windows: the DLL), in the launcher's own
// folder.
#define TAVLIN_QUESTION_LIBRARY "TavlinLaunchQuestion" TAVLIN_LIBRARY_SUFFIX
// Name of its one export, a TavlinQuestionBoxFn.
#define TAVLIN_QUESTION_EXPORT "TavlinQuestionBox"

extern "C" {
// Shows a modal box without owner: `text` under `caption` (UTF-16, lengths in
// units), with the buttons of `type` (platform::MB_OK or MB_OKCANCEL).
// Returns what platform::MessageBoxW returns: IDOK, IDCANCEL, or 0 when no
// box could be shown.
using TavlinQuestionBoxFn = int (*)(const char16_t* text, size_t textLength, const char16_t* caption,
                                    size_t captionLength, unsigned type);
}
