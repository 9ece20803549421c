#include "AskUser.h"

#include <dlfcn.h>

#include "QuestionBox.h"
#include "platform/module.h"
#include "platform/window/message_box.h"

namespace launcher {

static_assert(kAskOkCancel == platform::MB_OKCANCEL && kAnswerOk == platform::IDOK);

namespace {

// dlopen handle, closed when it goes out of scope. The object is opened with
// RTLD_NODELETE: the window system it holds registers exit-time teardown and
// thread-local state, which must stay mapped until the process ends.
class Library {
public:
    explicit Library(const std::string& path) : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {}
    ~Library() {
        if (handle_) ::dlclose(handle_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    explicit operator bool() const { return handle_ != nullptr; }
    void* Symbol(const char* name) const { return ::dlsym(handle_, name); }

private:
    void* handle_;
};

std::string DlError(const char* fallback) {
    const char* e = ::dlerror();
    return e ? e : fallback;
}

}  // namespace

int AskUser(std::u16string_view text, std::u16string_view caption, unsigned type, std::string& why) {
    std::string folder;
    if (!platform::GetModuleFolder(folder)) {
        why = "the launcher's folder is unknown";
        return 0;
    }
    // Always this folder's copy, never one found through the library path.
    Library library(folder + TAVLIN_QUESTION_LIBRARY);
    if (!library) {
        why = DlError("cannot load " TAVLIN_QUESTION_LIBRARY);
        return 0;
    }
    auto ask = reinterpret_cast<TavlinQuestionBoxFn>(library.Symbol(TAVLIN_QUESTION_EXPORT));
    if (!ask) {
        why = DlError("no " TAVLIN_QUESTION_EXPORT);
        return 0;
    }
    return ask(text.data(), text.size(), caption.data(), caption.size(), type);
}

}  // namespace launcher

#if defined(__SANITIZE_ADDRESS__)
// The question object loads fontconfig, whose caches LeakSanitizer cannot
// follow (see platform/window/fonts.cpp). The sanitizer looks for this hook
// in the program, not in objects it loads later, so the launcher carries it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
