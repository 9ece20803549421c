#include "platform/spawn.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>

#include "platform/module.h"
#include "win_test_util.h"

namespace {

namespace fs = std::filesystem;
using win_test::ProbeOutput;
using win_test::TempDir;

class SpawnWin : public testing::Test {
protected:
    void SetUp() override {
        saved_ = platform::GetCurrentDir();
        fs::create_directory(cwd_);
        ASSERT_TRUE(platform::SetCurrentDir(win_test::U8(cwd_)));
    }
    void TearDown() override { platform::SetCurrentDir(saved_); }

    void PlaceProbe(const std::wstring& name) { fs::copy_file(win_test::W(win_test::ProbePath()), cwd_ / name); }

    ProbeOutput Report() {
        ProbeOutput p;
        EXPECT_TRUE(win_test::WaitUntil([&] { return win_test::ReadProbe(out_, p); }, 20000))
            << "the started program did not report";
        return p;
    }

    TempDir dir_;
    fs::path out_ = dir_ / L"probe.out";
    fs::path cwd_ = dir_ / L"cwd";
    win_test::ScopedEnv env_{L"PROBE_OUT", out_.wstring()};
    std::string saved_;
};

// Each argument arrives as itself, whatever it holds, as both the system's
// splitter and the C runtime read the command line.
TEST_F(SpawnWin, ArgumentsThatNeedQuotingArriveWhole) {
    const std::vector<std::string> args = {
        "plain", "two words", "", "say \"hi\"", "C:\\dir\\", "C:\\a b\\", "back\\\\\"slash", "课堂 客户端", "tab\there"};
    ASSERT_GT(platform::StartDetachedFromPath(win_test::ProbePath(), args), 0);
    ProbeOutput p = Report();
    EXPECT_EQ(p.args, args);
    EXPECT_EQ(p.crtArgs, args);
}

TEST_F(SpawnWin, ParameterTextIsTheCommandLineExactly) {
    PlaceProbe(L"tavlin.exe");
    const std::string params = "/room?id=7\" a  b 'c' %PATH% \\x 课堂";
    pid_t pid = platform::ShellOpenProgram("tavlin.exe", params);
    ASSERT_GT(pid, 0);
    ProbeOutput p = Report();
    EXPECT_EQ(p.items["cmdtail"], params);
    EXPECT_EQ(p.items["pid"], std::to_string(pid));
    EXPECT_EQ(p.items["exe"], win_test::U8(cwd_ / L"tavlin.exe"));
    EXPECT_EQ(p.items["cwd"], win_test::U8(cwd_));
}

TEST_F(SpawnWin, EmptyParametersPassNothingAndWorkDirIsHonoured) {
    PlaceProbe(L"tavlin.exe");
    const fs::path work = dir_ / L"工作 目录";
    fs::create_directory(work);
    ASSERT_GT(platform::ShellOpenProgram("tavlin.exe", "", win_test::U8(work)), 0);
    ProbeOutput p = Report();
    EXPECT_EQ(p.items["cmdtail"], "");
    EXPECT_TRUE(p.args.empty());
    EXPECT_EQ(p.items["cwd"], win_test::U8(work));
}

TEST_F(SpawnWin, MissingProgramFailsWithENOENT) {
    errno = 0;
    EXPECT_EQ(platform::ShellOpenProgram("tavlin.exe", "x"), 0);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(platform::ShellOpenProgram("", "x"), 0);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(platform::StartDetachedFromPath("tavlin-no-such-program", {}), 0);
    EXPECT_EQ(errno, ENOENT);
}

// A bare name is looked up in PATH only (".exe" added), never in the
// current folder.
TEST_F(SpawnWin, BareNameComesFromPathOnly) {
    PlaceProbe(L"tavlin-probe-cwd.exe");
    errno = 0;
    EXPECT_EQ(platform::StartDetachedFromPath("tavlin-probe-cwd", {}), 0);
    EXPECT_EQ(errno, ENOENT);

    const fs::path bin = dir_ / L"bin";
    fs::create_directory(bin);
    fs::copy_file(win_test::W(win_test::ProbePath()), bin / L"tavlin-probe.exe");
    wchar_t oldPath[32768];
    DWORD n = ::GetEnvironmentVariableW(L"PATH", oldPath, 32768);
    std::wstring path = bin.wstring() + L";" + std::wstring(oldPath, n < 32768 ? n : 0);
    win_test::ScopedEnv pathEnv(L"PATH", path);
    ASSERT_GT(platform::StartDetachedFromPath("tavlin-probe", {"a b"}), 0);
    ProbeOutput p = Report();
    EXPECT_EQ(p.items["exe"], win_test::U8(bin / L"tavlin-probe.exe"));
    EXPECT_EQ(p.args, std::vector<std::string>{"a b"});
    // ScopedEnv removes PATH at the end; put the old one back.
    ::SetEnvironmentVariableW(L"PATH", nullptr);
    if (n > 0 && n < 32768) ::SetEnvironmentVariableW(L"PATH", std::wstring(oldPath, n).c_str());
}

}  // namespace
