#include "platform/spawn.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "child_process.h"
#include "platform/module.h"
#include "probe_output.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using platform::ShellOpenProgram;
using platform_test::ProbeOutput;
using tavlin_test::TempDir;

class Spawn : public testing::Test {
protected:
    void SetUp() override {
        savedCwd_ = platform::GetCurrentDir();
        fs::create_directory(cwd_);
        ASSERT_TRUE(platform::SetCurrentDir(cwd_));
        ::setenv("PROBE_OUT", out_.c_str(), 1);
    }
    void TearDown() override {
        platform::SetCurrentDir(savedCwd_);
        ::unsetenv("PROBE_OUT");
    }

    // Copies the probe into the current directory under `name`.
    void PlaceProbe(const std::string& name) { fs::copy_file(PROBE_PATH, cwd_ + "/" + name); }

    // Waits (bounded) for the probe's report.
    ProbeOutput Report() {
        ProbeOutput p;
        EXPECT_TRUE(tavlin_test::WaitUntil([&] { return platform_test::ReadProbe(out_, p); }, 10000))
            << "the started program did not report";
        return p;
    }

    TempDir dir_;
    std::string out_ = dir_ / "probe.out";
    std::string cwd_ = dir_ / "cwd";
    std::string savedCwd_;
};

TEST_F(Spawn, ParameterTextIsOneArgument) {
    PlaceProbe("tavlin.exe");
    const std::string params = "/room?id=7\" a  b 'c' $HOME \\x";
    pid_t pid = ShellOpenProgram("tavlin.exe", params);
    ASSERT_GT(pid, 0);
    ProbeOutput p = Report();
    EXPECT_EQ(p.items["argc"], "2");
    ASSERT_EQ(p.args.size(), 1u);
    EXPECT_EQ(p.args[0], params);
    EXPECT_EQ(p.items["pid"], std::to_string(pid));
}

TEST_F(Spawn, EmptyParametersPassNoArgument) {
    PlaceProbe("tavlin.exe");
    ASSERT_GT(ShellOpenProgram("tavlin.exe", ""), 0);
    ProbeOutput p = Report();
    EXPECT_EQ(p.items["argc"], "1");
    EXPECT_TRUE(p.args.empty());
}

TEST_F(Spawn, BareNameComesFromCurrentDirectoryNotPath) {
    fs::create_directory(dir_ / "bin");
    fs::copy_file(PROBE_PATH, dir_.path() + "/bin/probe-in-path");
    std::string path = dir_ / "bin";
    path += ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "");
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(ShellOpenProgram("probe-in-path", "x"), 0);

    PlaceProbe("probe-in-path");
    ASSERT_GT(ShellOpenProgram("probe-in-path", "x"), 0);
    EXPECT_EQ(Report().items["exe"], cwd_ + "/probe-in-path");
}

TEST_F(Spawn, WorkDirIsTheChildsAndNameStaysOurs) {
    PlaceProbe("tavlin.exe");
    fs::create_directory(dir_ / "work");
    ASSERT_GT(ShellOpenProgram("tavlin.exe", "", dir_ / "work"), 0);
    ProbeOutput p = Report();
    EXPECT_EQ(p.items["cwd"], dir_ / "work");
    EXPECT_EQ(p.items["exe"], cwd_ + "/tavlin.exe");
}

TEST_F(Spawn, LeavesNoZombieAndNoDescriptors) {
    PlaceProbe("tavlin.exe");
    // A descriptor we forgot to mark close-on-exec must still not reach the
    // program (it could hold a lock of ours open for ever).
    int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 0);
    pid_t pid = ShellOpenProgram("tavlin.exe", "a");
    ::close(leaky);
    ASSERT_GT(pid, 0);
    ProbeOutput p = Report();
    EXPECT_EQ(p.items["fds"], "");
    EXPECT_NE(p.items["ppid"], std::to_string(::getpid()));
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(Spawn, ProgramsThatCannotStartGiveZero) {
    tavlin_test::WriteFileText(cwd_ + "/plain.exe", "not a program");
    fs::permissions(cwd_ + "/plain.exe", fs::perms::owner_read | fs::perms::owner_write);
    tavlin_test::WriteFileText(cwd_ + "/garbage.exe", "\x7f" "ELF garbage");
    fs::permissions(cwd_ + "/garbage.exe", fs::perms::owner_all);
    fs::create_directory(cwd_ + "/folder.exe");
    PlaceProbe("tavlin.exe");

    EXPECT_EQ(ShellOpenProgram("missing.exe", "x"), 0);
    EXPECT_EQ(ShellOpenProgram("garbage.exe", "x"), 0);
    EXPECT_EQ(ShellOpenProgram("folder.exe", "x"), 0);
    EXPECT_EQ(ShellOpenProgram("", "x"), 0);
    EXPECT_EQ(ShellOpenProgram("tavlin.exe", "x", dir_ / "no-such-dir"), 0);
    if (::geteuid() != 0) {
        EXPECT_EQ(ShellOpenProgram("plain.exe", "x"), 0);
    }
    EXPECT_FALSE(tavlin_test::FileExists(out_));
}

TEST_F(Spawn, OpenUrlRunsXdgOpenWithTheAddress) {
    fs::create_directory(dir_ / "bin");
    std::string script = dir_.path() + "/bin/xdg-open";
    std::string seen = dir_ / "url.txt";
    tavlin_test::WriteFileText(script, "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" + seen + ".tmp' && mv '" +
                                           seen + ".tmp' '" + seen + "'\n");
    fs::permissions(script, fs::perms::owner_all);
    std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (dir_ / "bin" + ":" + oldPath).c_str(), 1);

    EXPECT_TRUE(platform::ShellOpenUrl("https://example.test/a b?x=1&y=2"));
    EXPECT_TRUE(tavlin_test::WaitUntil([&] { return tavlin_test::FileExists(seen); }, 10000));
    EXPECT_EQ(tavlin_test::ReadFileText(seen), "1|https://example.test/a b?x=1&y=2");

    ::setenv("PATH", cwd_.c_str(), 1);
    EXPECT_FALSE(platform::ShellOpenUrl("https://example.test/"));
    ::setenv("PATH", oldPath.c_str(), 1);
}

}  // namespace
