// TavlinLaunchQuestion.so (Windows: .dll): the message box, for the launcher to load when it
// must ask.
#include "QuestionBox.h"

#include <string_view>
#include <type_traits>

#include "platform/window/message_box.h"

extern "C" TAVLIN_EXPORT int TavlinQuestionBox(const char16_t* text, size_t textLength, const char16_t* caption,
                                                     size_t captionLength, unsigned type) {
    return platform::MessageBoxW(nullptr, std::u16string_view(text, textLength),
                                 std::u16string_view(caption, captionLength), type);
}

// The launcher calls the export through this type; a change of either side
// that breaks the match fails to compile.
static_assert(std::is_same_v<decltype(&TavlinQuestionBox), TavlinQuestionBoxFn>);
