#include "wnd_test_util.h"

#include <sys/stat.h>

#include "child_process.h"

namespace wnd_test {

FakeBrowser::FakeBrowser(const tavlin_test::TempDir& dir) : record_(dir / "opened-pages") {
    const std::string bin = dir / "bin";
    ::mkdir(bin.c_str(), 0700);
    const std::string script = bin + "/xdg-open";
    // Written aside and renamed, so a reader never sees half a line.
    tavlin_test::WriteFileText(script, "#!/bin/sh\n{ cat '" + record_ + "' 2>/dev/null; printf '%s\\n' \"$1\"; } > '" +
                                           record_ + ".tmp' && mv '" + record_ + ".tmp' '" + record_ + "'\n");
    ::chmod(script.c_str(), 0700);
    const char* path = std::getenv("PATH");
    oldPath_ = path ? path : "";
    setenv("PATH", (bin + ":" + oldPath_).c_str(), 1);
}

FakeBrowser::~FakeBrowser() { setenv("PATH", oldPath_.c_str(), 1); }

std::string FakeBrowser::Opened() const { return tavlin_test::ReadFileText(record_); }

bool FakeBrowser::WaitOpened(int ms) const {
    return tavlin_test::WaitUntil([this] { return tavlin_test::FileExists(record_); }, ms);
}

}  // namespace wnd_test
