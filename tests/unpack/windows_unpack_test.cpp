// The Windows file layer under Wine: a package applied whole or not at all,
// read-only and held targets, a killed commit finished by the next run,
// names Windows cannot hold, and names outside ASCII.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/unique_handle.h"
#include "unpack/Journal.h"
#include "unpack/Unpack.h"
#include "zip_builder.h"

namespace {

namespace fs = std::filesystem;
using tavlin::unpack::UnpackArchive;
using tavlin::unpack::UnpackResult;
using tavlin_test::ZipBuilder;
using tavlin_test::ZipEntry;

std::string ReadAll(const fs::path& path) {
    platform::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return "<missing>";
    std::string out;
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) out.append(buffer, n);
    return out;
}

void WriteAll(const fs::path& path, const std::string& data) {
    fs::create_directories(path.parent_path());
    platform::UniqueHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid()) << path;
    DWORD n = 0;
    ASSERT_TRUE(::WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &n, nullptr));
    ASSERT_EQ(n, data.size());
}

ZipEntry File(const std::string& name, const std::string& data) {
    ZipEntry e;
    e.name = name;
    e.data = data;
    return e;
}

// A file's modification time in seconds since 1970; -1 when it cannot be read.
long long ModificationTime(const fs::path& path) {
    platform::UniqueHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    FILETIME written{};
    if (!file || !::GetFileTime(file.get(), nullptr, nullptr, &written)) return -1;
    const unsigned long long ticks = (static_cast<unsigned long long>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    return static_cast<long long>(ticks / 10000000ULL) - 11644473600LL;
}

// Removes a folder and everything in it, read-only files too.
bool RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    return ::RemoveDirectoryW(path.c_str()) != 0;
}

class WinUnpack : public testing::Test {
protected:
    void SetUp() override {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        base = fs::temp_directory_path() / ("tavlin-unpack-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                            std::to_string(stamp));
        fs::create_directories(base / "root");
        root = base / "root";
        zip = (base / "package.zip").string();
    }
    void TearDown() override {
        // By hand with \\?\ paths: the test of long paths goes below
        // MAX_PATH, where std::filesystem does not reach.
        EXPECT_TRUE(RemoveTree(L"\\\\?\\" + fs::absolute(base).wstring())) << base;
    }

    UnpackResult Apply() { return UnpackArchive(zip, root.string()); }

    // Every file and folder below the root: relative path -> bytes or "dir".
    std::map<std::wstring, std::string> Tree() const {
        std::map<std::wstring, std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(root))
            out[e.path().lexically_relative(root).wstring()] = e.is_directory() ? "dir" : ReadAll(e.path());
        return out;
    }

    fs::path base;
    fs::path root;
    std::string zip;
};

TEST_F(WinUnpack, APackageIsAppliedWhole) {
    WriteAll(root / "bin" / "client.dll", "old client");
    ZipEntry readOnly = File("docs/readme.txt", "read me");
    readOnly.host = tavlin_test::zip_host::kNtfs;
    readOnly.externalAttributes = 0x01;  // DOS read-only
    ZipEntry timed = File("bin/client.dll", "new client");
    timed.extra = tavlin_test::UtExtraField(1, {1600000000});
    ZipEntry folder = File("empty/", "");
    folder.externalAttributes = tavlin_test::UnixAttributes(040755);
    // A time past 2038, which a 32-bit time_t would wrap.
    ZipEntry late = File("late.txt", "late");
    late.extra = tavlin_test::UtExtraField(1, {0xF0000000u});
    tavlin_test::WriteZip(zip, {folder, timed, readOnly, late, File("tavlin.exe", std::string("MZ\x90\0", 4) + "program")});
    const UnpackResult r = Apply();
    ASSERT_TRUE(r.applied) << tavlin::unpack::DescribeFailure(r);
    EXPECT_EQ(r.written, 4u);
    const std::map<std::wstring, std::string> expected = {
        {L"bin", "dir"},
        {L"bin\\client.dll", "new client"},
        {L"docs", "dir"},
        {L"docs\\readme.txt", "read me"},
        {L"empty", "dir"},
        {L"late.txt", "late"},
        {L"tavlin.exe", std::string("MZ\x90\0", 4) + "program"},
    };
    // No journal and no staged file is left.
    EXPECT_EQ(Tree(), expected);
    EXPECT_TRUE(::GetFileAttributesW((root / "docs" / "readme.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(::GetFileAttributesW((root / "bin" / "client.dll").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(ModificationTime(root / "bin" / "client.dll"), 1600000000);
    EXPECT_EQ(ModificationTime(root / "late.txt"), 0xF0000000LL);
}

TEST_F(WinUnpack, ABadLastEntryLeavesEveryFileAsItWas) {
    WriteAll(root / "a.txt", "old a");
    WriteAll(root / "bin" / "b.dll", "old b");
    const auto before = Tree();
    ZipEntry bad = File("bin/c.dll", "new c");
    bad.declaredCrc = 0x12345678;
    tavlin_test::WriteZip(zip, {File("a.txt", "new a"), File("new/folder/d.txt", "new d"), File("bin/b.dll", "new b"), bad});
    const UnpackResult r = Apply();
    EXPECT_FALSE(r.applied);
    EXPECT_EQ(r.failedEntry, "bin/c.dll");
    EXPECT_NE(r.reason.find("CRC"), std::string::npos) << r.reason;
    // Byte for byte, and neither staged files, new folders nor a journal.
    EXPECT_EQ(Tree(), before);
}

TEST_F(WinUnpack, AReadOnlyTargetIsReplaced) {
    WriteAll(root / "locked.dll", "old");
    ASSERT_TRUE(::SetFileAttributesW((root / "locked.dll").c_str(), FILE_ATTRIBUTE_READONLY));
    tavlin_test::WriteZip(zip, {File("locked.dll", "new")});
    const UnpackResult r = Apply();
    ASSERT_TRUE(r.applied) << tavlin::unpack::DescribeFailure(r);
    EXPECT_EQ(ReadAll(root / "locked.dll"), "new");
    EXPECT_EQ(Tree().size(), 1u);
}

TEST_F(WinUnpack, ATargetHeldWithoutSharingFailsThePackageBeforeAnythingIsReplaced) {
    WriteAll(root / "first.txt", "old first");
    WriteAll(root / "held.dll", "old held");
    tavlin_test::WriteZip(zip, {File("first.txt", "new first"), File("held.dll", "new held"), File("added.txt", "new")});
    const auto before = Tree();
    {
        platform::UniqueHandle held(::CreateFileW((root / "held.dll").c_str(), GENERIC_READ, 0, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held.valid());
        const UnpackResult r = Apply();
        EXPECT_FALSE(r.applied);
        EXPECT_FALSE(r.commitIncomplete);
        EXPECT_TRUE(r.postponed) << "not the package's fault: it is to be tried again";
        EXPECT_EQ(r.failedEntry, "held.dll");
        EXPECT_NE(r.reason.find("another program has it open"), std::string::npos) << r.reason;
    }
    EXPECT_EQ(Tree(), before);
    // A holder that lets the file be deleted does not keep the package out.
    {
        platform::UniqueHandle shared(::CreateFileW((root / "first.txt").c_str(), GENERIC_READ,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(shared.valid());
        const UnpackResult r = Apply();
        ASSERT_TRUE(r.applied) << tavlin::unpack::DescribeFailure(r);
        EXPECT_EQ(ReadAll(root / "first.txt"), "new first");
    }
    // Once the holder is gone, the package goes in.
    const UnpackResult again = Apply();
    ASSERT_TRUE(again.applied) << tavlin::unpack::DescribeFailure(again);
    EXPECT_EQ(ReadAll(root / "held.dll"), "new held");
    EXPECT_EQ(ReadAll(root / "first.txt"), "new first");
}

// The old copies a commit moved aside (hidden, staged names, short or long)
// go at the next run in the root once nothing runs them; other hidden files
// stay. (Wine shows every dot-file as hidden.)
TEST_F(WinUnpack, OldCopiesOfReplacedProgramsAreSweptByTheNextRun) {
    for (const char* name : {".tavlin-Ab12Cd", ".TavlinLaunch.exe.tavlin-x9YzQ2", ".hidden", ".a.tavlin-backup"}) {
        WriteAll(root / name, "old");
        ASSERT_TRUE(::SetFileAttributesW((root / name).c_str(), FILE_ATTRIBUTE_HIDDEN));
    }
    tavlin_test::WriteZip(zip, {File("a.txt", "a")});
    const UnpackResult r = Apply();
    ASSERT_TRUE(r.applied) << tavlin::unpack::DescribeFailure(r);
    const std::map<std::wstring, std::string> expected = {
        {L".a.tavlin-backup", "old"}, {L".hidden", "old"}, {L"a.txt", "a"}};
    EXPECT_EQ(Tree(), expected);
}

// The package holds itself open while it is read: an entry with its own
// name fails the package at once rather than waiting for itself.
TEST_F(WinUnpack, AnEntryNamedAsThePackageItselfFailsItRatherThanPostponingIt) {
    zip = (root / "Update.zip").string();
    tavlin_test::WriteZip(zip, {File("a.txt", "a"), File("sub/../update.ZIP", "itself")});
    const auto before = Tree();
    const UnpackResult r = Apply();
    EXPECT_FALSE(r.applied);
    EXPECT_FALSE(r.postponed);
    EXPECT_NE(r.reason.find("package itself"), std::string::npos) << r.reason;
    EXPECT_EQ(Tree(), before);
}

// What a run killed in the middle of its commit left behind: one staged file
// already moved in, one still waiting (over a read-only target), one in a
// folder the run made. The next run finishes it before its own package;
// without the commit record it removes the staging instead.
TEST_F(WinUnpack, AKilledRunIsFinishedByTheNextOne) {
    for (const bool committed : {true, false}) {
        SCOPED_TRACE(committed ? "committed" : "not committed");
        TearDown();
        SetUp();
        WriteAll(root / "bin" / "a.dll", "new a");  // moved in before the kill
        WriteAll(root / "b.txt", "old b");
        ASSERT_TRUE(::SetFileAttributesW((root / "b.txt").c_str(), FILE_ATTRIBUTE_READONLY));
        WriteAll(root / ".b.txt.tavlin-BBBBBB", "new b");
        WriteAll(root / "new" / ".c.tavlin-CCCCCC", "new c");
        std::string journal =
            "tavlin-journal 1\nD new\nF bin/.a.dll.tavlin-AAAAAA bin/a.dll\nF .b.txt.tavlin-BBBBBB b.txt\n"
            "F new/.c.tavlin-CCCCCC new/c\n";
        if (committed) journal += "C 3\n";
        WriteAll(root / tavlin::unpack::kJournalName, journal);
        tavlin_test::WriteZip(zip, {File("other.txt", "other")});

        const UnpackResult r = Apply();
        ASSERT_TRUE(r.applied) << tavlin::unpack::DescribeFailure(r);
        EXPECT_TRUE(r.recovered.found);
        EXPECT_EQ(r.recovered.rolledForward, committed);
        std::map<std::wstring, std::string> expected = {
            {L"bin", "dir"}, {L"bin\\a.dll", "new a"}, {L"other.txt", "other"}};
        if (committed) {
            expected[L"b.txt"] = "new b";
            expected[L"new"] = "dir";
            expected[L"new\\c"] = "new c";
        } else {
            expected[L"b.txt"] = "old b";
        }
        EXPECT_EQ(Tree(), expected);
    }
}

TEST_F(WinUnpack, NamesWindowsCannotHoldAreRefused) {
    const char* refused[] = {"CON",      "dir/nul.txt", "Com1",       "bin/LPT9.log", "aux .txt", "trailing.",
                             "space ",   "a<b",         "a>b",        "ab:stream",    "q?",       "pi|pe",
                             "st*r",     "quo\"te",     "ctl\x01.txt", "x/CONOUT$"};
    for (const char* name : refused) {
        SCOPED_TRACE(name);
        tavlin_test::WriteZip(zip, {File("fine.txt", "fine"), File(name, "data")});
        const UnpackResult r = Apply();
        EXPECT_FALSE(r.applied);
        EXPECT_NE(r.reason.find("Windows"), std::string::npos) << r.reason;
        EXPECT_TRUE(Tree().empty());
    }
    // The journal's name in another case is the journal on Windows.
    tavlin_test::WriteZip(zip, {File(".TAVLIN-Journal", "C 0\n")});
    const UnpackResult journal = Apply();
    EXPECT_FALSE(journal.applied);
    EXPECT_NE(journal.reason.find("journal"), std::string::npos) << journal.reason;
    EXPECT_TRUE(Tree().empty());
    // Close to a device name is not one.
    tavlin_test::WriteZip(zip, {File("CONFIG.SYS", "a"), File("console.txt", "b"), File("COM10", "c"), File("nul2", "d")});
    const UnpackResult r = Apply();
    ASSERT_TRUE(r.applied) << tavlin::unpack::DescribeFailure(r);
    EXPECT_EQ(Tree().size(), 4u);
}

// A name longer than a file system takes fails the package before the
// commit: a commit that cannot finish would hold back every later package.
TEST_F(WinUnpack, ANameTooLongForTheFileSystemFailsBeforeTheCommit) {
    WriteAll(root / "a.txt", "old a");
    const auto before = Tree();
    tavlin_test::WriteZip(zip, {File("a.txt", "new a"), File("bin/" + std::string(300, 'n') + ".dll", "long")});
    const UnpackResult r = Apply();
    EXPECT_FALSE(r.applied);
    EXPECT_FALSE(r.commitIncomplete);
    EXPECT_FALSE(r.postponed);
    EXPECT_EQ(Tree(), before);
}

TEST_F(WinUnpack, NamesDifferingOnlyInCaseAreOneFile) {
    tavlin_test::WriteZip(zip, {File("Dir/Read.txt", "first"), File("dir/READ.TXT", "second")});
    const UnpackResult r = Apply();
    ASSERT_TRUE(r.applied) << tavlin::unpack::DescribeFailure(r);
    EXPECT_EQ(r.written, 1u);
    const auto tree = Tree();
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree.rbegin()->second, "second");
}

TEST_F(WinUnpack, ALinkEntryIsRefused) {
    ZipBuilder builder(zip);
    builder.AddFile("a.txt", "a").AddSymlink("link", "a.txt").Close();
    const UnpackResult r = Apply();
    EXPECT_FALSE(r.applied);
    EXPECT_EQ(r.failedEntry, "link");
    EXPECT_NE(r.reason.find("symbolic link"), std::string::npos) << r.reason;
    EXPECT_TRUE(Tree().empty());
}

TEST_F(WinUnpack, NamesOutsideAsciiAreWrittenAsTheirWideNames) {
    tavlin_test::WriteZip(zip, {File("中文/文件.txt", "chinese"), File("Ünïcödé.dat", "latin"), File("emoji-\xf0\x9f\x98\x80.txt", "astral")});
    const UnpackResult r = Apply();
    ASSERT_TRUE(r.applied) << tavlin::unpack::DescribeFailure(r);
    const std::map<std::wstring, std::string> expected = {
        {L"\u4e2d\u6587", "dir"},
        {L"\u4e2d\u6587\\\u6587\u4ef6.txt", "chinese"},
        {L"\u00dcn\u00efc\u00f6d\u00e9.dat", "latin"},
        {L"emoji-\U0001F600.txt", "astral"},
    };
    EXPECT_EQ(Tree(), expected);
}

TEST_F(WinUnpack, PathsLongerThanMaxPath) {
    const std::string folder(60, 'f');
    const std::string name = folder + "/" + folder + "/" + folder + "/" + folder + "/" + folder + "/deep.txt";
    tavlin_test::WriteZip(zip, {File(name, "deep")});
    const UnpackResult r = Apply();
    ASSERT_TRUE(r.applied) << tavlin::unpack::DescribeFailure(r);
    std::wstring path = L"\\\\?\\" + fs::absolute(root).wstring();
    for (int i = 0; i < 5; ++i) path += L"\\" + std::wstring(60, L'f');
    path += L"\\deep.txt";
    ASSERT_GT(path.size(), static_cast<std::size_t>(MAX_PATH));
    EXPECT_EQ(ReadAll(path), "deep");
}

}  // namespace
