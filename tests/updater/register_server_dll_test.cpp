// Loading the COM server library and calling its registration export.
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "app/zebUtil.h"
#include "child_process.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

bool Mapped(const std::string& path) {
    return tavlin_test::ReadFileText("/proc/self/maps").find(path) != std::string::npos;
}

class RegisterServerDllTest : public ::testing::Test {
protected:
    // Puts `library` into the temporary folder as "InstallZebApp.dll".
    std::u16string Install(const char* library) {
        fs::copy_file(library, tmp_ / "InstallZebApp.dll");
        return zeb::GetInstallDllPath(zeb::ToWide(tmp_.path() + "/"));
    }
    std::string Registrations() const { return tavlin_test::ReadFileText(tmp_ / "InstallZebApp.registered"); }

    tavlin_test::TempDir tmp_{"updater-register-"};
};

TEST_F(RegisterServerDllTest, CallsTheExportOncePerCallAndUnloads) {
    const std::u16string path = Install(TAVLIN_INSTALL_ZEB_APP);
    zeb::RegisterServerDll(path);
    zeb::RegisterServerDll(path);
    const std::string expected = "registered " + tmp_.path() + "/InstallZebApp.dll pid " + std::to_string(::getpid()) + "\n";
    EXPECT_EQ(Registrations(), expected + expected);
    EXPECT_FALSE(Mapped(tmp_ / "InstallZebApp.dll"));
}

TEST_F(RegisterServerDllTest, MissingFileDoesNothing) {
    zeb::RegisterServerDll(zeb::GetInstallDllPath(zeb::ToWide(tmp_.path() + "/")));
    zeb::RegisterServerDll(u"");
    EXPECT_FALSE(tavlin_test::FileExists(tmp_ / "InstallZebApp.registered"));
}

TEST_F(RegisterServerDllTest, LibraryWithoutTheExportIsLoadedAndReleased) {
    const std::u16string path = Install(TAVLIN_NO_EXPORT_LIB);
    zeb::RegisterServerDll(path);
    EXPECT_FALSE(tavlin_test::FileExists(tmp_ / "InstallZebApp.registered"));
    EXPECT_FALSE(Mapped(tmp_ / "InstallZebApp.dll"));
}

TEST_F(RegisterServerDllTest, FileThatIsNoLibraryIsRefused) {
    ASSERT_TRUE(tavlin_test::WriteFileText(tmp_ / "InstallZebApp.dll", "MZ not an ELF file"));
    zeb::RegisterServerDll(zeb::GetInstallDllPath(zeb::ToWide(tmp_.path() + "/")));
    EXPECT_FALSE(tavlin_test::FileExists(tmp_ / "InstallZebApp.registered"));
}

}  // namespace
