// TavlinLaunch.exe built for Windows, as processes under Wine: the start
// road (the scheme's registration read back through reg.exe, the pending
// package applied, the client started with the link's parameters) and the
// hand-over of a link to a running client over its pipe. The question box
// for a running client is answered from the X side with xdotool, in
// launcher-question-x11.sh.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "win_client_support.h"
#include "zip_builder.h"

namespace {

using namespace client_win;
using tavlin_client::CallKind;
using tavlin_client::CallRecord;

void WriteBytes(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary);
    out << bytes;
}

// Ends every stand-in client: the launcher starts them detached.
void EndClients() {
    platform::ForEachProcess([](const platform::ProcessEntry& p) {
        if (p.exeName == "tavlin.exe") platform::ProcessHandle::OpenEntry(p).Terminate();
        return true;
    });
    WaitUntil(
        [] {
            bool any = false;
            platform::ForEachProcess([&](const platform::ProcessEntry& p) {
                any = p.exeName == "tavlin.exe";
                return !any;
            });
            return !any;
        },
        10000);
}

// What reg.exe prints for `key`'s default value; empty when it fails.
std::string RegQueryDefault(const std::wstring& key) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!::CreatePipe(&readRaw, &writeRaw, &inherit, 0)) return {};
    platform::UniqueHandle read(readRaw), write(writeRaw);
    ::SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write.get();
    si.hStdError = write.get();
    si.hStdInput = nullptr;
    std::wstring commandLine = L"reg.exe query \"" + key + L"\" /ve";
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &si, &pi))
        return {};
    platform::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    write.reset();
    std::string out;
    char buf[4096];
    DWORD n = 0;
    while (::ReadFile(read.get(), buf, sizeof buf, &n, nullptr) && n > 0 && out.size() < (1 << 20)) out.append(buf, n);
    ::WaitForSingleObject(process.get(), 10000);
    return out;
}

// The default value of HKCR\tavlin\shell\open\command.
std::wstring RegisteredCommand() {
    std::vector<wchar_t> buf(4096);
    DWORD bytes = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_CLASSES_ROOT, L"tavlin\\shell\\open\\command", nullptr, RRF_RT_REG_SZ, nullptr,
                       buf.data(), &bytes) != ERROR_SUCCESS)
        return {};
    return std::wstring(buf.data());
}

// An installation: the launcher and the stand-in client side by side, in a
// folder with a Chinese name. No question box beside the launcher, so a
// running client is kept as if the box had been closed.
class LauncherWin : public testing::Test {
protected:
    void SetUp() override {
        EndClients();
        for (const wchar_t* program : {L"TavlinLaunch.exe", L"tavlin.exe", L"tavlinCacheAssistant.exe"})
            fs::copy_file(BuildFolder() / program, dir_.path() / program);
        fs::create_directory(dir_.path() / L"temp");
    }
    void TearDown() override { EndClients(); }

    // Runs the launcher with `tail` after its quoted path; its exit code.
    std::optional<DWORD> Launch(const std::wstring& tail) {
        Started launcher;
        if (!launcher.Start(dir_.path() / L"TavlinLaunch.exe", tail)) return std::nullopt;
        return launcher.ExitCode(60000);
    }

    std::vector<CallRecord> WaitRecords(size_t count) {
        WaitUntil([&] { return ReadRecords(dir_.path()).size() >= count; }, 15000);
        bool ok = false;
        std::vector<CallRecord> r = ReadRecords(dir_.path(), &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(r.size(), count);
        return r;
    }

    ScratchDir dir_;
};

TEST_F(LauncherWin, StartRoadRegistersAppliesThePendingPackageAndStartsTheClient) {
    WriteBytes(dir_.path() / L"version.txt", "1.0\n");
    WriteBytes(dir_.path() / L"temp" / L"Updater.exe", "old updater");
    WriteBytes(dir_.path() / L"temp" / L"update.td0", "old part");
    {
        // minizip takes narrow paths: the package is made under an ASCII
        // name and then put in place.
        const fs::path zip = fs::temp_directory_path() /
                             (L"tavlin-launcher-pkg-" + std::to_wstring(::GetCurrentProcessId()) + L".zip");
        {
            tavlin_test::ZipBuilder builder(U8(zip.wstring()));
            builder.AddFile("version.txt", "2.0\n").AddFile("sub/新.txt", "new file").AddDir("logs/");
        }
        fs::copy_file(zip, dir_.path() / L"temp" / L"update.zip");
        fs::remove(zip);
    }
    Started assistant;
    ASSERT_TRUE(assistant.Start(dir_.path() / L"tavlinCacheAssistant.exe", L""));

    // As the shell's "%1" template passes a link: in double quotes.
    EXPECT_EQ(Launch(L"\"tavlin://room?id=7&名=课\""), std::optional<DWORD>(0));

    const std::vector<CallRecord> r = WaitRecords(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].kind, CallKind::Version);
    EXPECT_EQ(r[0].data, "2.0") << "the client started after the package was applied";
    EXPECT_EQ(r[1].kind, CallKind::Args);
    EXPECT_EQ(r[1].data, "/room?id=7&名=课\"");

    EXPECT_EQ(ReadBytes(dir_.path() / L"sub" / L"新.txt"), "new file");
    EXPECT_TRUE(fs::is_directory(dir_.path() / L"logs"));
    for (const wchar_t* gone : {L"temp\\Updater.exe", L"temp\\update.td0", L"temp\\update.zip", L"update.zip"})
        EXPECT_FALSE(fs::exists(dir_.path() / gone)) << U8(gone);
    EXPECT_TRUE(assistant.Ended(10000)) << "the companion is ended before a package is applied";

    // HKCR shows the machine's or the user's classes, whichever was written.
    const std::wstring command = L"\"" + (dir_.path() / L"TavlinLaunch.exe").wstring() + L"\" \"%1\"";
    EXPECT_EQ(RegisteredCommand(), command);
    // reg.exe prints through the console's code page, which may not hold
    // the folder's Chinese name: the rest of the text is compared.
    const std::string reg = RegQueryDefault(L"HKCR\\tavlin\\shell\\open\\command");
    EXPECT_NE(reg.find("REG_SZ"), std::string::npos) << reg;
    EXPECT_NE(reg.find("\\TavlinLaunch.exe\" \"%1\""), std::string::npos) << reg;

    // A second run finds nothing pending and starts the client again.
    EndClients();
    EXPECT_EQ(Launch(L"plain text"), std::optional<DWORD>(0));
    const std::vector<CallRecord> again = WaitRecords(4);
    ASSERT_EQ(again.size(), 4u);
    EXPECT_EQ(again[2].data, "2.0");
    EXPECT_EQ(again[3].data, "plain text");
}

TEST_F(LauncherWin, LinkIsHandedToTheRunningClientOverItsPipe) {
    Started client;
    ASSERT_TRUE(client.Start(dir_.path() / L"tavlin.exe", L"first"));
    ASSERT_TRUE(WaitUntil([&] { return Send("ready"); }, 15000));
    WaitRecords(3);

    EXPECT_EQ(Launch(L"\"tavlin://abc\""), std::optional<DWORD>(0));
    const std::vector<CallRecord> r = WaitRecords(4);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[3].kind, CallKind::Pipe);
    EXPECT_EQ(r[3].data, std::string("/abc\"\0", 6));
    EXPECT_TRUE(client.Running()) << "the running client is kept";

    // Without a link nothing is sent; the launcher still succeeds.
    EXPECT_EQ(Launch(L"no link"), std::optional<DWORD>(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(ReadRecords(dir_.path()).size(), 4u);
}

TEST_F(LauncherWin, HandOverWithoutAPipeFails) {
    // A client that serves no pipe: the stand-in's companion under its name.
    fs::remove(dir_.path() / L"tavlin.exe");
    fs::copy_file(BuildFolder() / L"tavlinCacheAssistant.exe", dir_.path() / L"tavlin.exe");
    Started client;
    ASSERT_TRUE(client.Start(dir_.path() / L"tavlin.exe", L""));
    EXPECT_EQ(Launch(L"\"tavlin://abc\""), std::optional<DWORD>(1));
    EXPECT_TRUE(client.Running());
    EXPECT_FALSE(fs::exists(dir_.path() / L"tavlin.calls"));
}

}  // namespace
