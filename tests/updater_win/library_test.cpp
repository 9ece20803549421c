// The updater's libraries on Windows without a server: the engine's files
// (held without sharing, positioned I/O, renames), digests through CNG, and
// the log in the local application-data folder. Paths hold Chinese, which
// only the wide API carries whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "download/DownloadDigest.h"
#include "download/DownloadFile.h"
#include "download/DownloadVersion.h"
#include "download/HashDigest.h"
#include "log/FileLogger.h"
#include "log/LogDirectory.h"
#include "win_test_support.h"

namespace {

using win_test::Exists;
using win_test::ReadWhole;
using win_test::TempFolder;
using win_test::WriteWhole;

// Whether another opener, sharing everything, is kept out of `path`.
bool KeptOut(const std::string& path) {
    HANDLE other = ::CreateFileW(win_test::Wide(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (other != INVALID_HANDLE_VALUE) {
        ::CloseHandle(other);
        return false;
    }
    return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

TEST(DownloadFileWin, HeldFileKeepsEveryoneElseOutUntilClosed) {
    TempFolder dir;
    ASSERT_TRUE(dir.valid());
    const std::string name = dir / "更新包.zip.dltmp";
    int error = 0;
    bool held = false;
    DownloadFile file = DownloadFile::OpenHeld(name, true, &error, &held);
    ASSERT_TRUE(file) << error;
    EXPECT_TRUE(KeptOut(name));
    // A second holder is told the file is held, and deleting it is refused.
    DownloadFile second = DownloadFile::OpenHeld(name, false, &error, &held);
    EXPECT_FALSE(second);
    EXPECT_TRUE(held);
    EXPECT_FALSE(download_file::RemoveUnlessHeld(name));
    EXPECT_TRUE(Exists(name));
    // The engine's own second handle (the prefix reader's) is no other opener.
    DownloadFile reader = file.Duplicate();
    ASSERT_TRUE(reader);
    ASSERT_TRUE(file.Allocate(64, &error)) << error;
    EXPECT_EQ(file.WriteAt(60, "tail", 4, &error), 4);
    EXPECT_EQ(file.WriteAt(3, "abc", 3, &error), 3);
    char back[8] = {};
    ASSERT_TRUE(reader.ReadAllAt(60, back, 4));
    EXPECT_EQ(std::string(back, 4), "tail");
    ASSERT_TRUE(reader.ReadAllAt(2, back, 5));
    EXPECT_EQ(std::string(back, 5), std::string("\0abc\0", 5));
    EXPECT_EQ(reader.ReadAt(64, back, 4), 0);  // the end
    file.Commit();
    uint64_t length = 0;
    ASSERT_TRUE(file.Length(&length, &error));
    EXPECT_EQ(length, 64u);
    ASSERT_TRUE(file.SetLength(6, &error)) << error;
    ASSERT_TRUE(file.Length(&length, &error));
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(file.Close(), 0);
    EXPECT_TRUE(KeptOut(name));  // the duplicate still holds it
    EXPECT_EQ(reader.Close(), 0);
    EXPECT_FALSE(KeptOut(name));
    EXPECT_EQ(ReadWhole(name), std::string("\0\0\0abc", 6));
    EXPECT_TRUE(download_file::RemoveUnlessHeld(name));
    EXPECT_FALSE(Exists(name));
    EXPECT_TRUE(download_file::RemoveUnlessHeld(name));  // gone already
}

TEST(DownloadFileWin, RenamesCopiesAndFolders) {
    TempFolder dir;
    ASSERT_TRUE(dir.valid());
    const std::string from = dir / "临时.dltmp", to = dir / "更新.zip";
    ASSERT_TRUE(WriteWhole(from, "new"));
    ASSERT_TRUE(WriteWhole(to, "old"));
    int error = 0;
    // A finished file never replaces a target that is there.
    EXPECT_FALSE(download_file::RenameNoReplace(from, to, &error));
    EXPECT_EQ(ReadWhole(to), "old");
    EXPECT_TRUE(download_file::RenameReplacing(from, to));
    EXPECT_EQ(ReadWhole(to), "new");
    EXPECT_FALSE(Exists(from));
    EXPECT_EQ(download_file::Copy(to, from), 0);
    EXPECT_EQ(ReadWhole(from), "new");
    EXPECT_NE(download_file::Copy(dir / "缺少", from), 0);
    EXPECT_TRUE(download_file::Remove(from));
    EXPECT_TRUE(download_file::Remove(from));  // not there: gone all the same
    EXPECT_FALSE(download_file::Exists(from));

    const std::string deep = dir / "安装\\a\\b";
    EXPECT_TRUE(download_file::MakeFolders(deep));
    EXPECT_TRUE(std::filesystem::is_directory(win_test::Path(deep)));
    EXPECT_TRUE(download_file::MakeFolders(deep));  // there already
    // A level that is a file cannot become a folder.
    EXPECT_FALSE(download_file::MakeFolders(to + "\\sub"));
    EXPECT_FALSE(download_file::ErrorText(ERROR_FILE_NOT_FOUND).empty());
}

TEST(DownloadFileWin, VersionSideFileRoundTrips) {
    TempFolder dir;
    ASSERT_TRUE(dir.valid());
    const std::string side = VersionFileOf(dir / "更新.zip.dltmp");
    FileVersion version;
    version.etag = "\"5f3e-1800000\"";
    version.lastModified = "Fri, 11 Dec 2026 08:00:00 GMT";
    ASSERT_TRUE(SaveVersionFile(side, version));
    ASSERT_TRUE(SaveVersionFile(side, version));  // replaces its own
    FileVersion read;
    ASSERT_TRUE(LoadVersionFile(side, &read));
    EXPECT_TRUE(read.SameAs(version));
    EXPECT_EQ(read.etag, version.etag);
    EXPECT_FALSE(Exists(side + ".new"));
    ASSERT_TRUE(SaveVersionFile(side, FileVersion{}));  // unknown: no file
    EXPECT_FALSE(Exists(side));
}

TEST(HashDigestWin, KnownDigestsThroughCng) {
    struct Case {
        std::string data;
        const char* md5;
        const char* sha256;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21",
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        HashDigest md5(HashKind::Md5), sha(HashKind::Sha256);
        // Fed in uneven pieces, as the download hands them on.
        for (size_t at = 0; at < c.data.size();) {
            const size_t piece = std::min<size_t>(c.data.size() - at, 1 + at % 70001);
            md5.Update(c.data.data() + at, piece);
            sha.Update(c.data.data() + at, piece);
            at += piece;
        }
        EXPECT_EQ(md5.FinishHex(), c.md5) << c.data.size();
        EXPECT_EQ(sha.FinishHex(), c.sha256) << c.data.size();
        // Finished: nothing more until a Reset, which starts over.
        EXPECT_EQ(md5.FinishHex(), "");
        ASSERT_TRUE(md5.Reset());
        md5.Update(c.data.data(), c.data.size());
        EXPECT_EQ(md5.FinishHex(), c.md5);
    }
}

TEST(HashDigestWin, DigestsOfAFileWithAChineseName) {
    TempFolder dir;
    ASSERT_TRUE(dir.valid());
    const std::string path = dir / "更新包.zip";
    ASSERT_TRUE(WriteWhole(path, std::string(1000000, 'a')));
    PackageDigests both = DigestsOfFile(path, true);
    EXPECT_EQ(both.md5, "7707d6ae4e027c70eea2a935c2296f21");
    EXPECT_EQ(both.sha256, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(both.bytes, 1000000u);
    PackageDigests md5Only = DigestsOfFile(path, false);
    EXPECT_EQ(md5Only.md5, both.md5);
    EXPECT_EQ(md5Only.sha256, "");
    EXPECT_EQ(DigestsOfFile(dir / "缺少.zip", true).md5, "");
}

TEST(UpdaterLogWin, RecordsGoToTheLocalApplicationDataFolder) {
    EXPECT_EQ(updater_log::LogSubFolderFor("C:\\Program Files\\Tavlin\\temp\\tavlinUpdater.exe"), "tavlinUpdater");
    EXPECT_EQ(updater_log::LogSubFolderFor("C:/x/fetch.exe"), "fetch");
    EXPECT_EQ(updater_log::LogSubFolderFor("tavlinUpdater.exe"), "temp");

    wchar_t local[MAX_PATH + 1] = {};
    ASSERT_GT(::GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH + 1), 0u);
    const std::string dir = updater_log::LogDirectory();
    EXPECT_EQ(dir, win_test::Narrow(local) + "\\vrek\\logs\\Updater\\updater_win_tests");
    ASSERT_TRUE(std::filesystem::is_directory(win_test::Path(dir)));

    // Wine hands out the same few process ids run after run, and the log
    // folder outlives a run: the tick count keeps an earlier run's file out.
    const std::string name =
        "wintest" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(::GetTickCount64());
    {
        FileLogger log;
        log.Open(name);
        log.Log(0, "unit", 7, "Win::Test", "中文 %d", 42);
        ASSERT_TRUE(log.Drain(10000));
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(win_test::Path(dir)))
        if (entry.path().filename().wstring().rfind(win_test::Wide(name + "_"), 0) == 0) files.push_back(entry.path());
    ASSERT_EQ(files.size(), 1u);
    const std::string text = ReadWhole(win_test::Narrow(files[0].wstring()));
    EXPECT_NE(text.find("|0|unit|7|Win::Test|中文 42\n"), std::string::npos) << text;
    // The logger's writer thread closes the file as it ends, just after the
    // logger; until then Windows refuses to delete it.
    std::error_code error;
    for (int i = 0; i < 100 && !std::filesystem::remove(files[0], error); ++i) ::Sleep(50);
    EXPECT_FALSE(std::filesystem::exists(files[0])) << error.message();
}

}  // namespace
