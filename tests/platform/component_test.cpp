#include "platform/component.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/module.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    ::SetEnvironmentVariableA(name, value);
#else
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
#endif
}

// Where the build put a test library: beside the test program on Windows.
std::string Built(const char* file) {
#ifdef _WIN32
    std::string folder;
    platform::GetModuleFolder(folder);
    return folder + file;
#else
    return file;
#endif
}

std::string ReadText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Component : public testing::Test {
protected:
    void SetUp() override {
        // Tests of this suite may run at once in separate processes.
        dir_ = fs::temp_directory_path() / ("tavlin-component-" + std::to_string(std::random_device{}()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        out_ = dir_ / "calls.txt";
        SetEnv("COMPONENT_OUT", out_.string().c_str());
        fs::copy_file(Built(COMPONENT_LIB), dir_ / "InstallZebApp.dll");
        fs::copy_file(Built(COMPONENT_NO_EXPORT_LIB), dir_ / "NoExport.dll");
    }
    void TearDown() override {
        SetEnv("COMPONENT_OUT", nullptr);
        SetEnv("COMPONENT_FAIL", nullptr);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string Path(const char* leaf) const { return (dir_ / leaf).string(); }

    fs::path dir_;
    fs::path out_;
};

TEST_F(Component, RegistrationIsCalledOnceAndItsResultReported) {
    EXPECT_TRUE(platform::RegisterComponentLibrary(Path("InstallZebApp.dll")));
    EXPECT_EQ(ReadText(out_), "registered\n");
    SetEnv("COMPONENT_FAIL", "1");
    EXPECT_FALSE(platform::RegisterComponentLibrary(Path("InstallZebApp.dll")));
    EXPECT_EQ(ReadText(out_), "registered\nregistered\n") << "the failing export was not called";
}

TEST_F(Component, NothingToCallIsAFailure) {
    std::ofstream(dir_ / "Broken.dll") << "MZ not a library";
    for (const char* leaf : {"NoExport.dll", "Missing.dll", "Broken.dll"})
        EXPECT_FALSE(platform::RegisterComponentLibrary(Path(leaf))) << leaf;
    EXPECT_FALSE(platform::RegisterComponentLibrary(""));
    EXPECT_FALSE(fs::exists(out_));
}

// A bare name means the file in the current folder.
TEST_F(Component, BareNameIsTakenFromTheCurrentFolder) {
    const std::string saved = platform::GetCurrentDir();
    ASSERT_TRUE(platform::SetCurrentDir(dir_.string()));
    bool ok = platform::RegisterComponentLibrary("InstallZebApp.dll");
    platform::SetCurrentDir(saved);
    EXPECT_TRUE(ok);
    EXPECT_EQ(ReadText(out_), "registered\n");
}

}  // namespace
