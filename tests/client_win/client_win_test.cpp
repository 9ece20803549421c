// The stand-in client programs and the InstallZebApp.dll fixture built for
// Windows: what the end-to-end tests rely on to see what the launcher and
// the updater passed.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/component.h"
#include "win_client_support.h"

namespace {

using namespace client_win;
using tavlin_client::CallKind;
using tavlin_client::CallRecord;

// An installation folder holding a copy of the stand-in client.
class ClientStandInWin : public testing::Test {
protected:
    void SetUp() override {
        fs::copy_file(BuildFolder() / L"tavlin.exe", client_);
    }

    std::vector<CallRecord> Records() {
        bool ok = false;
        std::vector<CallRecord> r = ReadRecords(dir_.path(), &ok);
        EXPECT_TRUE(ok);
        return r;
    }

    // Waits (bounded) until the file holds `count` records.
    std::vector<CallRecord> WaitRecords(size_t count) {
        WaitUntil([&] { return Records().size() >= count; }, 15000);
        std::vector<CallRecord> r = Records();
        EXPECT_EQ(r.size(), count);
        return r;
    }

    ScratchDir dir_;
    fs::path client_ = dir_.path() / L"tavlin.exe";
};

TEST_F(ClientStandInWin, RecordsVersionCommandLineAndPipeMessagesByteForByte) {
    { std::ofstream(dir_.path() / L"version.txt", std::ios::binary) << "2.1.0\r\n"; }
    // As the launcher passes a link's parameters: the closing quote of the
    // shell's "%1" stays, and so do Chinese characters.
    const std::wstring tail = L"/room?id=7&名=课\" b";
    Started client;
    ASSERT_TRUE(client.Start(client_, tail));
    const std::string withNul("/abc\"\0", 6);
    ASSERT_TRUE(WaitUntil([&] { return Send(withNul); }, 15000));
    // High bytes and a message larger than the pipe's buffer arrive whole.
    std::string large(200 * 1024, '\0');
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + 3);
    // Between two connections the one instance is briefly busy: retried.
    ASSERT_TRUE(WaitUntil([&] { return Send(large); }, 15000));

    std::vector<CallRecord> r = WaitRecords(4);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].kind, CallKind::Version);
    EXPECT_EQ(r[0].data, "2.1.0");
    EXPECT_EQ(r[1].kind, CallKind::Args);
    EXPECT_EQ(r[1].data, U8(tail));
    EXPECT_EQ(r[2].kind, CallKind::Pipe);
    EXPECT_EQ(r[2].data, withNul);
    EXPECT_EQ(r[3].kind, CallKind::Pipe);
    EXPECT_TRUE(r[3].data == large) << "the large message differs (" << r[3].data.size() << " bytes)";
}

TEST_F(ClientStandInWin, NoParametersRecordEmptyArgsAndNoVersion) {
    Started client;
    ASSERT_TRUE(client.Start(client_, L""));
    std::vector<CallRecord> r = WaitRecords(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].data, "none");
    EXPECT_EQ(r[1].kind, CallKind::Args);
    EXPECT_EQ(r[1].data, "");
}

// The launcher terminates a running client and starts a new one at once:
// the new one must get the pipe once the old one is gone.
TEST_F(ClientStandInWin, SecondInstanceTakesThePipeWhenTheFirstEnds) {
    Started first;
    ASSERT_TRUE(first.Start(client_, L""));
    ASSERT_TRUE(WaitUntil([&] { return Send("one"); }, 15000));
    Started second;
    ASSERT_TRUE(second.Start(client_, L"x"));
    std::vector<CallRecord> r = WaitRecords(5);
    ASSERT_EQ(r.size(), 5u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(second.Running()) << "an instance without the pipe keeps running";

    first.Kill();
    ASSERT_TRUE(WaitUntil([&] { return Send("two"); }, 15000));
    r = WaitRecords(6);
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[5].kind, CallKind::Pipe);
    EXPECT_EQ(r[5].data, "two");
}

// Without a display Wine has no window driver and creates no window at all.
bool CanShowWindows() {
    HWND probe = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!probe) return false;
    ::DestroyWindow(probe);
    return true;
}

// The updater owns its notice by this window, found by class; closing it
// leaves the client (and its pipe) running.
TEST_F(ClientStandInWin, ShowsItsMainWindowAndOutlivesIt) {
    if (!CanShowWindows()) GTEST_SKIP() << "no display: Wine creates no windows";
    Started client;
    ASSERT_TRUE(client.Start(client_, L""));
    HWND window = nullptr;
    ASSERT_TRUE(WaitUntil(
        [&] {
            window = nullptr;
            while ((window = ::FindWindowExW(nullptr, window, L"vostrapanel", nullptr)) != nullptr) {
                DWORD owner = 0;
                ::GetWindowThreadProcessId(window, &owner);
                if (owner == client.pid()) return true;
            }
            return false;
        },
        15000));
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(window); }, 15000));
    EXPECT_FALSE(client.Ended(300));
    EXPECT_TRUE(WaitUntil([&] { return Send("after"); }, 15000));
}

TEST(ClientHelpersWin, RunUntilTerminated) {
    for (const wchar_t* name : {L"tavlinCacheAssistant.exe", L"qelclient.exe"}) {
        Started helper;
        ASSERT_TRUE(helper.Start(BuildFolder() / name, L"")) << U8(name);
        EXPECT_FALSE(helper.Ended(300)) << U8(name) << " ended by itself";
        helper.Kill();
        EXPECT_TRUE(helper.Ended(0)) << U8(name);
    }
}

// Registered the way the updater does it, from a folder with a Chinese name:
// each registration leaves one line naming the DLL's own path and the
// registering process.
TEST(InstallZebAppWin, RegistrationThroughThePlatformLeavesItsMark) {
    ScratchDir dir;
    const fs::path dll = dir.path() / L"InstallZebApp.dll";
    fs::copy_file(BuildFolder() / L"InstallZebApp.dll", dll);
    const fs::path record = dir.path() / L"InstallZebApp.registered";
    ASSERT_FALSE(fs::exists(record));

    ASSERT_TRUE(platform::RegisterComponentLibrary(U8(dll.wstring())));
    const std::string line = "registered " + U8(dll.wstring()) + " pid " + std::to_string(::GetCurrentProcessId()) + "\n";
    EXPECT_EQ(ReadBytes(record), line);

    ASSERT_TRUE(platform::RegisterComponentLibrary(U8(dll.wstring())));
    EXPECT_EQ(ReadBytes(record), line + line);
    // Unloaded after each call: the file can be replaced, as an update does.
    EXPECT_TRUE(::DeleteFileW(dll.c_str()));
}

}  // namespace
