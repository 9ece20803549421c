// zlib.dll as the updater uses it on Windows: ExtractZipToDir bound at load
// time by its exact name, with the C calling convention and UTF-16 paths.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>
#include <string>

#include "platform/unique_handle.h"
#include "zip_builder.h"
#include "zlibdll/ExtractZipToDir.h"

namespace {

namespace fs = std::filesystem;

using ExtractFunction = int(__cdecl*)(const char16_t*, const char16_t*, int);

std::string ReadAll(const fs::path& path) {
    platform::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return "<missing>";
    std::string out;
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) out.append(buffer, n);
    return out;
}

tavlin_test::ZipEntry Entry(const std::string& name, const std::string& data) {
    tavlin_test::ZipEntry e;
    e.name = name;
    e.data = data;
    return e;
}

std::u16string Text(const fs::path& path) {
    const std::wstring wide = path.wstring();
    return std::u16string(wide.begin(), wide.end());
}

// The shipped layout: the unpack target X (given with a trailing
// backslash), the installation I = X\<Chinese name> and the package in I\temp.
class ZlibDll : public testing::Test {
protected:
    void SetUp() override {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        base = fs::temp_directory_path() /
               ("tavlin-zlibdll-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(stamp));
        target = base / "X";
        install = target / L"\u5ba2\u6237\u7aef";
        package = install / "temp" / "update.zip";
        fs::create_directories(package.parent_path());
    }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(base, error);
    }
    // The zip builder takes narrow paths: the package is written beside the
    // folders and moved in by its wide name.
    void WritePackage(const std::vector<tavlin_test::ZipEntry>& entries) {
        const fs::path plain = base / "package.zip";
        tavlin_test::WriteZip(plain.string(), entries);
        fs::rename(plain, package);
    }
    int Extract() { return ExtractZipToDir(Text(package).c_str(), (Text(target) + u"\\").c_str(), 0); }

    fs::path base, target, install, package;
};

TEST_F(ZlibDll, AppliesThePackageBelowTheInstallation) {
    fs::create_directories(install / "res");
    { std::ofstream(install / "tavlin.exe", std::ios::binary) << "old client"; }
    WritePackage({Entry("tavlin.exe", "new client"), Entry("res/skin/a.png", "image"),
                  Entry("\xe4\xb8\xad\xe6\x96\x87.txt", "chinese")});
    ASSERT_EQ(Extract(), kExtractOk) << ExtractZipToDirError();
    EXPECT_STREQ(ExtractZipToDirError(), "");
    EXPECT_EQ(ReadAll(install / "tavlin.exe"), "new client");
    EXPECT_EQ(ReadAll(install / "res" / "skin" / "a.png"), "image");
    EXPECT_EQ(ReadAll(install / L"\u4e2d\u6587.txt"), "chinese");
    EXPECT_TRUE(fs::exists(package));
}

TEST_F(ZlibDll, ABadEntryChangesNothing) {
    { std::ofstream(install / "tavlin.exe", std::ios::binary) << "old client"; }
    tavlin_test::ZipEntry bad = Entry("res/b.dat", "data");
    bad.declaredCrc = 1;
    WritePackage({Entry("tavlin.exe", "new client"), bad});
    EXPECT_EQ(Extract(), kExtractNotApplied);
    EXPECT_NE(std::string(ExtractZipToDirError()).find("res/b.dat"), std::string::npos) << ExtractZipToDirError();
    EXPECT_EQ(ReadAll(install / "tavlin.exe"), "old client");
    EXPECT_FALSE(fs::exists(install / "res"));
}

// A file another program holds open is no fault of the package: the
// updater is told to leave it for the launcher.
TEST_F(ZlibDll, AHeldFileLeavesThePackageForLater) {
    { std::ofstream(install / "tavlin.exe", std::ios::binary) << "old client"; }
    WritePackage({Entry("version.txt", "2.0"), Entry("tavlin.exe", "new client")});
    {
        platform::UniqueHandle held(::CreateFileW((install / "tavlin.exe").c_str(), GENERIC_READ, 0, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held.valid());
        EXPECT_EQ(Extract(), kExtractPostponed);
        EXPECT_NE(std::string(ExtractZipToDirError()).find("another program has it open"), std::string::npos)
            << ExtractZipToDirError();
    }
    EXPECT_EQ(ReadAll(install / "tavlin.exe"), "old client");
    EXPECT_FALSE(fs::exists(install / "version.txt"));
    EXPECT_EQ(Extract(), kExtractOk) << ExtractZipToDirError();
    EXPECT_EQ(ReadAll(install / "tavlin.exe"), "new client");
}

TEST_F(ZlibDll, BadArgumentsAndUnreadablePackages) {
    const std::u16string folder = Text(target);
    const char16_t unpaired[] = {u'C', u':', u'\\', 0xD800, u'x', 0};
    EXPECT_EQ(ExtractZipToDir(nullptr, folder.c_str(), 0), kExtractBadArguments);
    EXPECT_EQ(ExtractZipToDir(u"", folder.c_str(), 0), kExtractBadArguments);
    EXPECT_EQ(ExtractZipToDir(unpaired, folder.c_str(), 0), kExtractBadArguments);
    EXPECT_EQ(ExtractZipToDir(Text(package).c_str(), nullptr, 0), kExtractBadArguments);
    // No package there.
    EXPECT_EQ(ExtractZipToDir(Text(package).c_str(), folder.c_str(), 0), kExtractUnreadable);
    EXPECT_NE(std::string(ExtractZipToDirError()), "");
    // A call that cannot apply anything leaves no folder or journal behind.
    const fs::path nowhere = base / "nowhere";
    EXPECT_EQ(ExtractZipToDir(Text(nowhere / "update.zip").c_str(), Text(nowhere / "X").c_str(), 0),
              kExtractUnreadable);
    EXPECT_FALSE(fs::exists(nowhere));
    EXPECT_EQ(ExtractZipToDir(Text(package).c_str(), folder.c_str(), 0), kExtractUnreadable);
    EXPECT_FALSE(fs::exists(install / ".tavlin-journal"));
    // A folder where the package should be, a file where the folder should be.
    fs::create_directories(package);
    EXPECT_EQ(ExtractZipToDir(Text(package).c_str(), folder.c_str(), 0), kExtractUnreadable);
    EXPECT_NE(std::string(ExtractZipToDirError()), "");
    fs::remove(package);
    WritePackage({Entry("tavlin.exe", "new client")});
    const fs::path file = base / "file";
    { std::ofstream(file) << "a file"; }
    EXPECT_EQ(ExtractZipToDir(Text(package).c_str(), Text(file).c_str(), 0), kExtractNotApplied);
    EXPECT_NE(std::string(ExtractZipToDirError()), "");
    EXPECT_EQ(ReadAll(file), "a file");
}

// The export as a program finds it by name: undecorated, in a DLL that
// needs none of the compiler's DLLs.
TEST_F(ZlibDll, TheExportIsFoundByItsExactName) {
    // Bound at load time: the DLL is already in the process.
    const HMODULE bound = ::GetModuleHandleW(L"zlib.dll");
    ASSERT_NE(bound, nullptr);
    const HMODULE loaded = ::LoadLibraryW(L"zlib.dll");
    ASSERT_EQ(loaded, bound);
    const auto extract = reinterpret_cast<ExtractFunction>(
        reinterpret_cast<void*>(::GetProcAddress(loaded, "ExtractZipToDir")));
    ASSERT_NE(extract, nullptr);
    EXPECT_EQ(::GetProcAddress(loaded, "_ExtractZipToDir"), nullptr);
    EXPECT_EQ(::GetProcAddress(loaded, "ExtractZipToDir@12"), nullptr);
    EXPECT_NE(::GetProcAddress(loaded, "ExtractZipToDirError"), nullptr);
    for (const wchar_t* runtime : {L"libstdc++-6.dll", L"libgcc_s_dw2-1.dll", L"libwinpthread-1.dll"})
        EXPECT_EQ(::GetModuleHandleW(runtime), nullptr) << "zlib.dll pulled in a compiler DLL";

    WritePackage({Entry("tavlin.exe", "through the pointer")});
    const std::u16string folder = Text(target) + u"\\";
    EXPECT_EQ(extract(Text(package).c_str(), folder.c_str(), 0), kExtractOk);
    EXPECT_EQ(ReadAll(install / "tavlin.exe"), "through the pointer");
    ::FreeLibrary(loaded);
}

}  // namespace
