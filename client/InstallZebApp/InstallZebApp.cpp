// Stand-in for the COM server shipped with an update. Its self-registration
// export appends one line to "InstallZebApp.registered" in the folder the
// library was loaded from, so a test can see each registration happen.
// Plain C calls only: nothing here may keep the library loaded after the
// caller unloads it.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int32_t kOk = 0;                                  // S_OK
constexpr int32_t kFail = static_cast<int32_t>(0x80004005);  // E_FAIL
constexpr char kRecordFile[] = "InstallZebApp.registered";

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t DllRegisterServer() {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) || !info.dli_fname) return kFail;
    const char* self = info.dli_fname;
    const char* slash = std::strrchr(self, '/');
    char path[4096];
    int n = slash ? std::snprintf(path, sizeof path, "%.*s/%s", static_cast<int>(slash - self), self, kRecordFile)
                  : std::snprintf(path, sizeof path, "%s", kRecordFile);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return kFail;

    char record[4200];
    n = std::snprintf(record, sizeof record, "registered %s pid %d\n", self, static_cast<int>(::getpid()));
    if (n < 0 || static_cast<size_t>(n) >= sizeof record) return kFail;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return kFail;
    bool ok = ::write(fd, record, static_cast<size_t>(n)) == n;
    ::close(fd);
    return ok ? kOk : kFail;
}
