#include "platform/runtime_dir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>

#include "runtime_env.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using platform::EnsurePrivateDir;
using platform::IsPrivateDir;

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

uid_t NobodyUid() {
    passwd* pw = ::getpwnam("nobody");
    return pw ? pw->pw_uid : 65534;
}

struct DirCase {
    const char* label;
    std::function<void(const std::string&)> make;
    bool privateDir;
};

void PrintTo(const DirCase& c, std::ostream* os) { *os << c.label; }

class PrivateDirCheck : public testing::TestWithParam<DirCase> {};

TEST_P(PrivateDirCheck, AcceptsOnlyOurOwn0700Directory) {
    tavlin_test::TempDir dir;
    std::string path = dir / "x";
    GetParam().make(path);
    EXPECT_EQ(IsPrivateDir(path), GetParam().privateDir);
}

void MakeDir(const std::string& p, mode_t mode) {
    ASSERT_EQ(::mkdir(p.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(p.c_str(), mode), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PrivateDirCheck,
    testing::Values(
        DirCase{"mode_0700", [](const std::string& p) { MakeDir(p, 0700); }, true},
        DirCase{"mode_0755", [](const std::string& p) { MakeDir(p, 0755); }, false},
        DirCase{"mode_0750", [](const std::string& p) { MakeDir(p, 0750); }, false},
        DirCase{"mode_0500", [](const std::string& p) { MakeDir(p, 0500); }, false},
        DirCase{"sticky_1700", [](const std::string& p) { MakeDir(p, 01700); }, false},
        DirCase{"missing", [](const std::string&) {}, false},
        DirCase{"regular_file",
                [](const std::string& p) {
                    FILE* f = std::fopen(p.c_str(), "w");
                    ASSERT_NE(f, nullptr);
                    std::fclose(f);
                    ::chmod(p.c_str(), 0700);
                },
                false},
        DirCase{"symlink_to_private_dir",
                [](const std::string& p) {
                    MakeDir(p + "-real", 0700);
                    fs::create_directory_symlink(p + "-real", p);
                },
                false}),
    [](const testing::TestParamInfo<DirCase>& i) { return std::string(i.param.label); });

TEST(RuntimeDir, OtherOwnerIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder away";
    tavlin_test::TempDir dir;
    std::string path = dir / "x";
    MakeDir(path, 0700);
    ASSERT_EQ(::chown(path.c_str(), NobodyUid(), static_cast<gid_t>(-1)), 0);
    EXPECT_FALSE(IsPrivateDir(path));
    EXPECT_EQ(EnsurePrivateDir(path), "");
}

TEST(RuntimeDir, EnsureCreatesMissingFolderWithExactMode) {
    tavlin_test::TempDir dir;
    std::string path = dir / "made";
    // A strict umask must not leave the folder unusable (0500).
    mode_t oldMask = ::umask(0277);
    std::string got = EnsurePrivateDir(path);
    ::umask(oldMask);
    EXPECT_EQ(got, path);
    EXPECT_EQ(ModeOf(path), 0700u);
}

TEST(RuntimeDir, EnsureNeverAltersAnExistingFolder) {
    tavlin_test::TempDir dir;
    std::string open = dir / "open";
    MakeDir(open, 0777);
    EXPECT_EQ(EnsurePrivateDir(open), "");
    EXPECT_EQ(ModeOf(open), 0777u);

    std::string link = dir / "link";
    MakeDir(dir / "target", 0700);
    fs::create_directory_symlink(dir / "target", link);
    EXPECT_EQ(EnsurePrivateDir(link), "");

    EXPECT_EQ(EnsurePrivateDir(dir / "no/parent"), "");
    EXPECT_EQ(EnsurePrivateDir(""), "");
}

TEST(RuntimeDir, UsesXdgRuntimeDirWhenPrivate) {
    platform_test::PrivateRuntimeDir rt;
    EXPECT_EQ(platform::UserRuntimeDir(), rt.path());
    ::setenv("XDG_RUNTIME_DIR", (rt.path() + "//").c_str(), 1);
    EXPECT_EQ(platform::UserRuntimeDir(), rt.path());
}

TEST(RuntimeDir, FallsBackToTmpWhenXdgIsUntrusted) {
    platform_test::PrivateRuntimeDir rt;
    const std::string fallback = "/tmp/tavlin-" + std::to_string(::getuid());
    std::string open = rt.scratch() / "open";
    MakeDir(open, 0755);
    for (const std::string& value : {open, std::string("relative/dir"), std::string(), rt.scratch() / "missing"}) {
        ::setenv("XDG_RUNTIME_DIR", value.c_str(), 1);
        EXPECT_EQ(platform::UserRuntimeDir(), fallback) << "XDG_RUNTIME_DIR=" << value;
    }
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(platform::UserRuntimeDir(), fallback);
    EXPECT_TRUE(IsPrivateDir(fallback));
}

}  // namespace
