// Text conversion, the COM server path and its registration.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "app/zebUtil.h"
#include "child_process.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(ModuleUtil, TextConvertsBetweenUtf16AndUtf8) {
    struct Case {
        std::u16string wide;
        std::string narrow;
    };
    const Case cases[] = {
        {u"", ""},
        {u"update.zip", "update.zip"},
        {u"\u60a8\u7684\u5ba2\u6237\u7aef", "\xe6\x82\xa8\xe7\x9a\x84\xe5\xae\xa2\xe6\x88\xb7\xe7\xab\xaf"},
        {u"\U0001F600", "\xf0\x9f\x98\x80"},
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(zeb::ToNarrow(c.wide), c.narrow);
        EXPECT_EQ(zeb::ToWide(c.narrow), c.wide);
    }
    // No narrow form: the unit becomes the default character.
    EXPECT_EQ(zeb::ToNarrow(u"a\xd800" u"b"), "a?b");
    EXPECT_EQ(zeb::ToWide("a\xff" "b"), u"a\ufffd" u"b");
}

TEST(ModuleUtil, InstallDllPathIsBesideTheFolder) {
    EXPECT_EQ(zeb::GetInstallDllPath(u"/A/B/temp/"), u"/A/B/temp/InstallZebApp.dll");
    EXPECT_EQ(zeb::GetInstallDllPath(u""), u"InstallZebApp.dll");
}

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
