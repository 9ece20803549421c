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
#include <functional>
#include <map>
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

// A file's bytes as a tree shows them: long ones by size and hash, so that
// a failure prints programs in a few characters.
std::string Shown(const std::string& bytes) {
    if (bytes.size() <= 64) return bytes;
    return std::to_string(bytes.size()) + " bytes #" + std::to_string(std::hash<std::string>{}(bytes));
}

// Every file and folder below `dir` but the client's own record: relative
// path -> Shown(bytes), or "dir" for a folder.
std::map<std::wstring, std::string> Tree(const fs::path& dir) {
    std::map<std::wstring, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::wstring name = e.path().lexically_relative(dir).wstring();
        if (name == L"tavlin.calls") continue;
        out[name] = e.is_directory() ? "dir" : Shown(ReadBytes(e.path()));
    }
    return out;
}

// A zip made under an ASCII name (minizip takes narrow paths), read back as
// bytes.
std::string ZipBytes(const std::vector<tavlin_test::ZipEntry>& entries) {
    const fs::path zip = fs::temp_directory_path() /
                         (L"tavlin-launcher-zip-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                          std::to_wstring(::GetTickCount64()) + L".zip");
    tavlin_test::WriteZip(U8(zip.wstring()), entries);
    std::string bytes = ReadBytes(zip);
    fs::remove(zip);
    return bytes;
}

tavlin_test::ZipEntry Entry(const std::string& name, const std::string& data) {
    tavlin_test::ZipEntry e;
    e.name = name;
    e.data = data;
    return e;
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

// A pending package that cannot be applied as a whole changes nothing in
// the installation: no file, no folder, no debris (staged files, journal),
// and nothing outside it. The package is gone and the client starts.
TEST_F(LauncherWin, ABrokenPendingPackageLeavesTheInstallationWhole) {
    tavlin_test::ZipEntry badCrc = Entry("z.dat", "data");
    badCrc.declaredCrc = 1;
    const std::string good = ZipBytes({Entry("version.txt", "2.0\n"), Entry("bin/tool.dll", std::string(65536, 't'))});
    const struct {
        const char* what;
        std::string package;
    } cases[] = {
        {"empty file", ""},
        {"not a zip", "PK\x03\x04 not really a zip archive at all"},
        {"cut in half", good.substr(0, good.size() / 2)},
        {"without its directory's end", good.substr(0, good.size() - 22)},
        {"a device name", ZipBytes({Entry("version.txt", "2.0\n"), Entry("bin/CON", "x")})},
        {"a trailing dot", ZipBytes({Entry("version.txt", "2.0\n"), Entry("bin/tool.", "x")})},
        {"a stream name", ZipBytes({Entry("version.txt", "2.0\n"), Entry("tool.dll:evil", "x")})},
        {"climbing out", ZipBytes({Entry("version.txt", "2.0\n"), Entry("../escaped.txt", "x")})},
        {"a file and a folder in another case", ZipBytes({Entry("version.txt", "2.0\n"), Entry("Bin", "x"), Entry("bin/a.dll", "y")})},
        {"a bad CRC", ZipBytes({Entry("version.txt", "2.0\n"), Entry("bin/tool.dll", "new"), badCrc})},
    };
    WriteBytes(dir_.path() / L"version.txt", "1.0\n");
    const std::map<std::wstring, std::string> before = Tree(dir_.path());
    std::size_t runs = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(dir_.path() / L"temp" / L"update.zip", c.package);
        EXPECT_EQ(Launch(L"\"tavlin://room?id=1\""), std::optional<DWORD>(0));
        runs += 2;
        const std::vector<CallRecord> r = WaitRecords(runs);
        ASSERT_EQ(r.size(), runs);
        EXPECT_EQ(r[runs - 2].data, "1.0") << "the client started on the old installation";
        EXPECT_EQ(r[runs - 1].data, "/room?id=1\"");
        EXPECT_EQ(Tree(dir_.path()), before);
        EXPECT_FALSE(fs::exists(dir_.path().parent_path() / L"escaped.txt"));
        EndClients();
    }
}

// The launcher killed while it applies a package: before the commit the
// installation is still the old one; during the commit it is half done.
// The next start finishes it (the package is still there and is applied
// again): every file is new, and no journal or staged file is left.
TEST_F(LauncherWin, ALauncherKilledWhileApplyingIsFinishedByTheNextStart) {
    constexpr int kFiles = 300;
    const auto name = [](int i) { return L"data\\f" + std::to_wstring(i) + L".bin"; };
    std::vector<tavlin_test::ZipEntry> entries = {Entry("version.txt", "2.0\n")};
    std::map<std::wstring, std::string> old, fresh;
    old[L"data"] = fresh[L"data"] = "dir";
    for (int i = 0; i < kFiles; ++i) {
        std::string data(16384, static_cast<char>('a' + i % 26));
        data += std::to_string(i);
        tavlin_test::ZipEntry e = Entry(U8(name(i)), data);
        for (char& c : e.name) if (c == '\\') c = '/';
        e.deflate = false;
        entries.push_back(e);
        old[name(i)] = "old " + std::to_string(i);
        fresh[name(i)] = Shown(data);
    }
    const std::string package = ZipBytes(entries);
    // Old files are a few bytes, new ones 16 KiB.
    const auto size = [&](const std::wstring& file) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        return ::GetFileAttributesExW((dir_.path() / file).c_str(), GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
    };

    // When to kill: once the journal is there (staging), once the first
    // target was replaced (commit).
    const struct {
        const char* when;
        std::function<bool()> reached;
    } moments[] = {
        {"while staging",
         [&] {
             for (const auto& e : fs::directory_iterator(dir_.path() / L"data"))
                 if (e.path().filename().wstring().front() == L'.') return true;
             return false;
         }},
        {"while committing", [&] { return size(name(0)) > 1024; }},
    };
    for (const auto& m : moments) {
        SCOPED_TRACE(m.when);
        fs::remove_all(dir_.path() / L"data");
        fs::create_directory(dir_.path() / L"data");
        for (const auto& [file, data] : old)
            if (data != "dir") WriteBytes(dir_.path() / file, data);
        WriteBytes(dir_.path() / L"version.txt", "1.0\n");
        WriteBytes(dir_.path() / L"update.zip", package);

        Started launcher;
        ASSERT_TRUE(launcher.Start(dir_.path() / L"TavlinLaunch.exe", L"\"tavlin://x\""));
        ASSERT_TRUE(WaitUntil(m.reached, 60000)) << "the moment never came";
        launcher.Kill();
        int replaced = 0;
        for (int i = 0; i < kFiles; ++i) replaced += size(name(i)) > 1024;
        if (std::string(m.when) == "while staging") {
            EXPECT_EQ(replaced, 0) << "a file was replaced before the commit";
            EXPECT_EQ(ReadBytes(dir_.path() / L"version.txt"), "1.0\n");
        } else {
            EXPECT_LT(replaced, kFiles) << "killed too late to test a half-done commit";
        }
        EXPECT_FALSE(fs::exists(dir_.path() / L"tavlin.calls")) << "the client started from a killed launcher";

        EXPECT_EQ(Launch(L"\"tavlin://y\""), std::optional<DWORD>(0));
        const std::vector<CallRecord> r = WaitRecords(2);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0].data, "2.0");
        std::map<std::wstring, std::string> expected = fresh;
        for (const wchar_t* program : {L"TavlinLaunch.exe", L"tavlin.exe", L"tavlinCacheAssistant.exe"})
            expected[program] = Shown(ReadBytes(dir_.path() / program));
        expected[L"temp"] = "dir";
        expected[L"version.txt"] = "2.0\n";
        EXPECT_EQ(Tree(dir_.path()), expected);
        EndClients();
        fs::remove(dir_.path() / L"tavlin.calls");
    }
}

// Two launchers started at once with a package pending: one applies it,
// the other waits for it or finds it gone; the installation ends whole.
TEST_F(LauncherWin, TwoLaunchersAtOnceApplyThePackageOnce) {
    WriteBytes(dir_.path() / L"version.txt", "1.0\n");
    std::vector<tavlin_test::ZipEntry> entries = {Entry("version.txt", "2.0\n")};
    for (int i = 0; i < 100; ++i) entries.push_back(Entry("lib/m" + std::to_string(i) + ".dll", std::string(8192, 'm')));
    WriteBytes(dir_.path() / L"temp" / L"update.zip", ZipBytes(entries));

    // The one that finds the other's client running hands its link over
    // (exit 0), or finds no pipe yet (exit 1); either way it ends.
    Started first, second;
    ASSERT_TRUE(first.Start(dir_.path() / L"TavlinLaunch.exe", L"\"tavlin://one\""));
    ASSERT_TRUE(second.Start(dir_.path() / L"TavlinLaunch.exe", L"\"tavlin://two\""));
    for (const Started* launcher : {&first, &second}) {
        const std::optional<DWORD> code = launcher->ExitCode(120000);
        ASSERT_TRUE(code.has_value()) << "a launcher did not end";
        EXPECT_LE(*code, 1u);
    }
    WaitUntil([&] { return ReadRecords(dir_.path()).size() >= 2; }, 15000);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<CallRecord> r = ReadRecords(dir_.path());
    ASSERT_GE(r.size(), 2u);
    for (const CallRecord& record : r) {
        if (record.kind == CallKind::Version) {
            EXPECT_EQ(record.data, "2.0");
        }
    }
    const std::map<std::wstring, std::string> tree = Tree(dir_.path());
    EXPECT_EQ(tree.at(L"version.txt"), "2.0\n");
    std::size_t libs = 0;
    for (const auto& [file, data] : tree) {
        if (file.rfind(L"lib\\", 0) == 0) {
            ++libs;
            EXPECT_EQ(data, Shown(std::string(8192, 'm'))) << U8(file);
        }
    }
    EXPECT_EQ(libs, 100u);
    EXPECT_EQ(tree.size(), 100u + 6u) << "lib, temp, version.txt and the three programs; no debris";
}

// The companion the launcher ends before it applies a package is part of
// the package: the package goes in once the program has ended.
TEST_F(LauncherWin, AProgramEndedForThePackageIsReplacedByIt) {
    WriteBytes(dir_.path() / L"version.txt", "1.0\n");
    const std::string assistant = ReadBytes(dir_.path() / L"tavlinCacheAssistant.exe") + "version 2";
    WriteBytes(dir_.path() / L"temp" / L"update.zip",
               ZipBytes({Entry("version.txt", "2.0\n"), Entry("tavlinCacheAssistant.exe", assistant)}));
    Started running;
    ASSERT_TRUE(running.Start(dir_.path() / L"tavlinCacheAssistant.exe", L""));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(Launch(L"\"tavlin://a\""), std::optional<DWORD>(0));
    EXPECT_TRUE(running.Ended(10000));
    const std::vector<CallRecord> r = WaitRecords(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].data, "2.0");
    EXPECT_EQ(ReadBytes(dir_.path() / L"tavlinCacheAssistant.exe"), assistant);
}

// A package is applied once even when it came read-only.
TEST_F(LauncherWin, AReadOnlyPackageIsStillRemovedOnceApplied) {
    WriteBytes(dir_.path() / L"version.txt", "1.0\n");
    const fs::path pending = dir_.path() / L"temp" / L"update.zip";
    WriteBytes(pending, ZipBytes({Entry("version.txt", "2.0\n")}));
    ASSERT_TRUE(::SetFileAttributesW(pending.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Launch(L"\"tavlin://a\""), std::optional<DWORD>(0));
    const std::vector<CallRecord> r = WaitRecords(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].data, "2.0");
    EXPECT_FALSE(fs::exists(pending));
    EXPECT_FALSE(fs::exists(dir_.path() / L"update.zip"));
}

// A file of the installation that another program holds open: the package
// cannot go in now, but it is no fault of the package, so it is kept and
// goes in at the first start after the program let go.
TEST_F(LauncherWin, APackageBlockedByAHeldFileIsKeptForTheNextStart) {
    WriteBytes(dir_.path() / L"version.txt", "1.0\n");
    fs::create_directory(dir_.path() / L"bin");
    WriteBytes(dir_.path() / L"bin" / L"tool.dll", "old tool");
    const std::string package = ZipBytes({Entry("version.txt", "2.0\n"), Entry("bin/tool.dll", "new tool")});
    WriteBytes(dir_.path() / L"temp" / L"update.zip", package);
    const std::map<std::wstring, std::string> before = Tree(dir_.path());
    {
        platform::UniqueHandle held(::CreateFileW((dir_.path() / L"bin" / L"tool.dll").c_str(), GENERIC_READ, 0,
                                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held.valid());
        EXPECT_EQ(Launch(L"\"tavlin://a\""), std::optional<DWORD>(0));
        const std::vector<CallRecord> r = WaitRecords(2);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0].data, "1.0");
        EndClients();
    }
    std::map<std::wstring, std::string> kept = before;
    kept.erase(L"temp\\update.zip");
    kept[L"update.zip"] = Shown(package);
    EXPECT_EQ(Tree(dir_.path()), kept) << "the installation as it was, the package moved up and kept";

    EXPECT_EQ(Launch(L"\"tavlin://b\""), std::optional<DWORD>(0));
    const std::vector<CallRecord> r = WaitRecords(4);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[2].data, "2.0");
    EXPECT_EQ(ReadBytes(dir_.path() / L"bin" / L"tool.dll"), "new tool");
    EXPECT_FALSE(fs::exists(dir_.path() / L"update.zip"));
}

// A package that carries the launcher itself: the running program cannot be
// replaced in place on Windows, so it is moved aside first. Without that
// the commit stayed unfinished at every start (the launcher is always
// running when it tries).
TEST_F(LauncherWin, APackageCarryingTheRunningLauncherGoesIn) {
    WriteBytes(dir_.path() / L"version.txt", "1.0\n");
    const std::string launcher = ReadBytes(dir_.path() / L"TavlinLaunch.exe") + "version 2";
    WriteBytes(dir_.path() / L"temp" / L"update.zip",
               ZipBytes({Entry("version.txt", "2.0\n"), Entry("TavlinLaunch.exe", launcher)}));
    EXPECT_EQ(Launch(L"\"tavlin://a\""), std::optional<DWORD>(0));
    const std::vector<CallRecord> r = WaitRecords(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].data, "2.0");
    EXPECT_EQ(Shown(ReadBytes(dir_.path() / L"TavlinLaunch.exe")), Shown(launcher));
    EXPECT_FALSE(fs::exists(dir_.path() / L".tavlin-journal"));

    // The new launcher runs, and nothing of the old one is left beside it
    // once it has ended.
    EndClients();
    EXPECT_EQ(Launch(L"\"tavlin://b\""), std::optional<DWORD>(0));
    ASSERT_EQ(WaitRecords(4).size(), 4u);
    std::map<std::wstring, std::string> expected;
    for (const wchar_t* program : {L"tavlin.exe", L"tavlinCacheAssistant.exe"})
        expected[program] = Shown(ReadBytes(BuildFolder() / program));
    expected[L"TavlinLaunch.exe"] = Shown(launcher);
    expected[L"temp"] = "dir";
    expected[L"version.txt"] = "2.0\n";
    EXPECT_EQ(Tree(dir_.path()), expected);
}

// Links as a browser or a user may give them: the client gets the text
// after "tavlin:/" exactly as it came.
TEST_F(LauncherWin, OddLinksReachTheClientAsTheyCame) {
    const std::wstring longPath(8000, L'x');
    const struct {
        const char* what;
        std::wstring commandLine;
        std::wstring parameters;
    } cases[] = {
        {"percent escapes", L"\"tavlin://room?name=%E8%AF%BE&q=%22x%22%00\"", L"/room?name=%E8%AF%BE&q=%22x%22%00\""},
        {"outside ASCII", L"\"tavlin://\u8bfe\u5802/\u00e9t\u00e9?\U0001F600\"", L"/\u8bfe\u5802/\u00e9t\u00e9?\U0001F600\""},
        {"quotes inside", L"\"tavlin://a\"b\" \"c\"", L"/a\"b\" \"c\""},
        {"long", L"\"tavlin://" + longPath + L"\"", L"/" + longPath + L"\""},
    };
    std::size_t runs = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Launch(c.commandLine), std::optional<DWORD>(0));
        runs += 2;
        const std::vector<CallRecord> r = WaitRecords(runs);
        ASSERT_EQ(r.size(), runs);
        EXPECT_EQ(r[runs - 1].data, U8(c.parameters));
        EndClients();
    }
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

// The client reads its pipe message in the system's ANSI code page: a link
// outside ASCII arrives as that code page's bytes (what it cannot hold as
// its default character), not as UTF-8.
TEST_F(LauncherWin, APipeMessageIsInTheAnsiCodePage) {
    ASSERT_NE(::GetACP(), static_cast<UINT>(CP_UTF8)) << "the test needs an ANSI code page other than UTF-8";
    Started client;
    ASSERT_TRUE(client.Start(dir_.path() / L"tavlin.exe", L"first"));
    ASSERT_TRUE(WaitUntil([&] { return Send("ready"); }, 15000));
    WaitRecords(3);

    const std::wstring parameter = L"/\u8bfe?n=\u00e9t\u00e9\"";
    char ansi[64] = {};
    const int n = ::WideCharToMultiByte(CP_ACP, 0, parameter.c_str(), -1, ansi, sizeof ansi, nullptr, nullptr);
    ASSERT_GT(n, 0);
    EXPECT_EQ(Launch(L"\"tavlin:/" + parameter), std::optional<DWORD>(0));
    const std::vector<CallRecord> r = WaitRecords(4);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[3].kind, CallKind::Pipe);
    EXPECT_EQ(r[3].data, std::string(ansi, static_cast<std::size_t>(n)));
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
