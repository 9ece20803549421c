#include <windows.h>

#include <string>

#include "AskUser.h"
#include "QuestionBox.h"
#include "platform/module.h"
#include "platform/text.h"

namespace launcher {

namespace {

// The question DLL, loaded and pinned.
class Library {
public:
    explicit Library(const std::wstring& path) {
        // No system error box for a missing or broken file: the launcher
        // then keeps the running client, as for a closed box.
        DWORD old = 0;
        ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old);
        module_ = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        error_ = module_ ? 0 : ::GetLastError();
        ::SetThreadErrorMode(old, nullptr);
        // Pinned: the window system inside starts threads and keeps
        // per-thread state that outlive the box, so the DLL stays mapped
        // until the process ends (freeing it let the launcher die quietly
        // soon after an OK).
        HMODULE pinned = nullptr;
        if (module_)
            ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                 reinterpret_cast<LPCWSTR>(module_), &pinned);
    }
    ~Library() {
        if (module_) ::FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    explicit operator bool() const { return module_ != nullptr; }
    DWORD error() const { return error_; }
    FARPROC Symbol(const char* name) const { return ::GetProcAddress(module_, name); }

private:
    HMODULE module_ = nullptr;
    DWORD error_ = 0;
};

}  // namespace

int AskUser(std::u16string_view text, std::u16string_view caption, unsigned type, std::string& why) {
    std::string folder;
    if (!platform::GetModuleFolder(folder)) {
        why = "the launcher's folder is unknown";
        return 0;
    }
    // Always this folder's copy, never one found through the search path.
    const std::u16string path = platform::Utf8ToUtf16(folder + TAVLIN_QUESTION_LIBRARY);
    Library library(std::wstring(path.begin(), path.end()));
    if (!library) {
        why = "cannot load " TAVLIN_QUESTION_LIBRARY ": error " + std::to_string(library.error());
        return 0;
    }
    auto ask = reinterpret_cast<TavlinQuestionBoxFn>(reinterpret_cast<void*>(library.Symbol(TAVLIN_QUESTION_EXPORT)));
    if (!ask) {
        why = "no " TAVLIN_QUESTION_EXPORT " in " TAVLIN_QUESTION_LIBRARY;
        return 0;
    }
    return ask(text.data(), text.size(), caption.data(), caption.size(), type);
}

}  // namespace launcher
