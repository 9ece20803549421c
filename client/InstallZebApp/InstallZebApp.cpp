// Stand-in for the COM server shipped with an update. Its self-registration
// export appends one line to "InstallZebApp.registered" in the folder the
// library was loaded from, so a test can see each registration happen.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace {

constexpr int32_t kOk = 0;               // S_OK
constexpr int32_t kFail = static_cast<int32_t>(0x80004005);  // E_FAIL

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t DllRegisterServer() {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) || !info.dli_fname) return kFail;
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    path = (slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1)) +
           "InstallZebApp.registered";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return kFail;
    std::string record = "registered " + std::string(info.dli_fname) + " pid " + std::to_string(::getpid()) + "\n";
    bool ok = ::write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
    ::close(fd);
    return ok ? kOk : kFail;
}
