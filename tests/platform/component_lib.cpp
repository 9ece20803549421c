// A component library for the registration tests. Its "DllRegisterServer"
// appends "registered\n" to the file named by COMPONENT_OUT and reports
// failure when COMPONENT_FAIL is set. Built a second time with
// COMPONENT_NO_EXPORT, without that export.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#define COMPONENT_EXPORT extern "C" __declspec(dllexport)
#define COMPONENT_CALL __stdcall
#else
#define COMPONENT_EXPORT extern "C" __attribute__((visibility("default")))
#define COMPONENT_CALL
#endif

#ifndef COMPONENT_NO_EXPORT
namespace {

std::string Env(const char* name) {
#ifdef _WIN32
    char buf[1024];
    DWORD n = ::GetEnvironmentVariableA(name, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
#else
    const char* v = std::getenv(name);
    return v ? v : "";
#endif
}

}  // namespace

COMPONENT_EXPORT int32_t COMPONENT_CALL DllRegisterServer() {
    std::string out = Env("COMPONENT_OUT");
    if (FILE* f = out.empty() ? nullptr : std::fopen(out.c_str(), "ab")) {
        std::fputs("registered\n", f);
        std::fclose(f);
    }
    // E_FAIL when asked to fail, else S_OK.
    return Env("COMPONENT_FAIL").empty() ? 0 : static_cast<int32_t>(0x80004005u);
}
#else
COMPONENT_EXPORT int32_t COMPONENT_CALL SomethingElse() { return 0; }
#endif
