// zlib.dll's ExtractZipToDir, linked the way the updater links it: bound at
// load time and found beside the program.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/text.h"
#include "temp_dir.h"
#include "zip_builder.h"
#include "zlibdll/ExtractZipToDir.h"

namespace fs = std::filesystem;
using tavlin_test::ZipEntry;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

ZipEntry Entry(const std::string& name, const std::string& data) {
    ZipEntry e;
    e.name = name;
    e.data = data;
    return e;
}

int Extract(const fs::path& package, const std::string& folder) {
    const std::u16string p = platform::Utf8ToUtf16(package.string());
    const std::u16string f = platform::Utf8ToUtf16(folder);
    return ExtractZipToDir(p.c_str(), f.c_str(), 0);
}

// Every regular file below `root`, relative, with its content.
std::map<std::string, std::string> Tree(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) files[e.path().lexically_relative(root).string()] = ReadFile(e.path());
    return files;
}

// The shipped layout: the unpack target X, the installation I = X/app and
// the package in I/temp.
class ExtractTest : public ::testing::Test {
protected:
    tavlin_test::TempDir dir{"tavlin-zlibdll-"};
    const fs::path target = fs::path(dir.path()) / "X";
    const fs::path install = target / "app";
    const fs::path package = install / "temp" / "update.zip";

    void SetUp() override { fs::create_directories(package.parent_path()); }
    std::string Folder() const { return target.string() + "/"; }
};

}  // namespace

TEST_F(ExtractTest, ReplacesAnInstallationWithNestedFolders) {
    WriteFile(install / "tavlin.exe", "old client");
    WriteFile(install / "res" / "skin" / "a.png", "old image");
    WriteFile(install / "keep.txt", "not in the package");
    tavlin_test::WriteZip(package.string(), {Entry("tavlin.exe", "#!/bin/sh\n# new client\n"),
                                             Entry("res/skin/a.png", "new image"),
                                             Entry("res/deep/er/b.dat", std::string(100000, 'b')),
                                             Entry("empty.txt", "")});

    EXPECT_EQ(Extract(package, Folder()), kExtractOk);

    auto files = Tree(install);
    files.erase("temp/update.zip");
    EXPECT_EQ(files, (std::map<std::string, std::string>{{"tavlin.exe", "#!/bin/sh\n# new client\n"},
                                                          {"res/skin/a.png", "new image"},
                                                          {"res/deep/er/b.dat", std::string(100000, 'b')},
                                                          {"empty.txt", ""},
                                                          {"keep.txt", "not in the package"}}));
    EXPECT_FALSE(fs::exists(target / "tavlin.exe")) << "entries belong to the installation, not to X";
    EXPECT_EQ(fs::status(install / "tavlin.exe").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    EXPECT_STREQ(ExtractZipToDirError(), "");
}

// A broken entry fails the whole package: the installation stays as it was,
// with nothing left beside its files, and the reason names the entry.
TEST_F(ExtractTest, BrokenEntriesLeaveTheInstalledFileIntact) {
    struct Case {
        const char* name;
        ZipEntry entry;
    } cases[] = {
        {"short", Entry("lib.so", "only part")},
        {"bad CRC", Entry("lib.so", "new library")},
        {"stored, bad CRC", Entry("lib.so", "new library")},
    };
    cases[0].entry.declaredSize = 5000;
    cases[1].entry.declaredCrc = 0x12345678;
    cases[2].entry.deflate = false;
    cases[2].entry.declaredCrc = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(install);
        fs::create_directories(package.parent_path());
        WriteFile(install / "lib.so", "installed library");
        tavlin_test::WriteZip(package.string(), {c.entry, Entry("ok.txt", "fine")});

        EXPECT_EQ(Extract(package, Folder()), kExtractNotApplied);
        EXPECT_EQ(std::string(ExtractZipToDirError()).rfind("entry \"lib.so\": ", 0), 0u) << ExtractZipToDirError();

        auto files = Tree(install);
        files.erase("temp/update.zip");
        EXPECT_EQ(files, (std::map<std::string, std::string>{{"lib.so", "installed library"}}));
    }
}

// Damaged compressed data (the archive's directory intact) fails the entry.
TEST_F(ExtractTest, CorruptDataLeavesTheInstalledFileIntact) {
    WriteFile(install / "lib.so", "installed library");
    std::string data;
    for (int i = 0; i < 20000; ++i) data += "line " + std::to_string(i) + "\n";
    tavlin_test::WriteZip(package.string(), {Entry("lib.so", data)});
    {
        // The first entry's data starts after its 30-byte local header and name.
        std::fstream zip(package, std::ios::in | std::ios::out | std::ios::binary);
        zip.seekp(30 + 6 + 200);
        zip.write("\xff\x00\xff\x00\xff\x00\xff\x00", 8);
    }

    EXPECT_EQ(Extract(package, Folder()), kExtractNotApplied);
    auto files = Tree(install);
    files.erase("temp/update.zip");
    EXPECT_EQ(files, (std::map<std::string, std::string>{{"lib.so", "installed library"}}));
}

// A name that climbs out fails the package; an absolute name is taken as
// relative to the installation, as the launcher's unpacking takes it, so it
// can never reach the place it names.
TEST_F(ExtractTest, NamesLeavingTheInstallationStayInside) {
    for (const char* name : {"../escaped.txt", "a/../../escaped2.txt", "..\\escaped3.txt"}) {
        SCOPED_TRACE(name);
        tavlin_test::WriteZip(package.string(), {Entry("inside.txt", "ok"), Entry(name, "x")});
        EXPECT_EQ(Extract(package, Folder()), kExtractNotApplied);
        EXPECT_EQ(Tree(target).size(), 1u) << "only the package";
    }
    const std::string absolute = dir.path() + "/absolute.txt";
    tavlin_test::WriteZip(package.string(), {Entry(absolute, "made relative"), Entry("inside.txt", "ok")});
    EXPECT_EQ(Extract(package, Folder()), kExtractOk);
    EXPECT_EQ(ReadFile(install / "inside.txt"), "ok");
    EXPECT_EQ(ReadFile(install / absolute.substr(1)), "made relative");
    EXPECT_FALSE(fs::exists(absolute));
    EXPECT_EQ(Tree(target).size(), 3u) << "the package and the two entries";
}

// Where the entries land: below the folder of the target that holds the
// package, whatever way the paths are written; straight into the target
// when the package lies directly in it or outside it.
TEST_F(ExtractTest, MappingFollowsWhereThePackageLies) {
    struct Case {
        const char* name;
        fs::path package;
        std::string folder;
        fs::path expected;
    } cases[] = {
        {"inside, with slash", install / "temp" / "update.zip", Folder(), install / "f.txt"},
        {"inside, no slash", install / "temp" / "update.zip", target.string(), install / "f.txt"},
        {"inside, dotted", install / "temp" / "update.zip", target.string() + "/./../X/", install / "f.txt"},
        {"directly in the target", target / "update.zip", Folder(), target / "f.txt"},
        {"outside the target", fs::path(dir.path()) / "elsewhere" / "update.zip", Folder(), target / "f.txt"},
        {"sibling with a common prefix", fs::path(dir.path()) / "X2" / "t" / "update.zip", Folder(),
         target / "f.txt"},
        {"non-ASCII names", target / "安装" / "temp" / "update.zip", Folder(), target / "安装" / "f.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir.path());
        fs::create_directories(dir.path());
        fs::create_directories(c.package.parent_path());
        fs::create_directories(target);
        tavlin_test::WriteZip(c.package.string(), {Entry("f.txt", "here")});

        EXPECT_EQ(Extract(c.package, c.folder), kExtractOk);

        EXPECT_EQ(ReadFile(c.expected), "here");
        size_t unpacked = 0;
        for (const auto& e : fs::recursive_directory_iterator(dir.path())) unpacked += e.path().filename() == "f.txt";
        EXPECT_EQ(unpacked, 1u);
    }
}

TEST(ExtractZipToDir, BadArgumentsAndUnreadablePackages) {
    tavlin_test::TempDir dir("tavlin-zlibdll-");
    const std::u16string folder = platform::Utf8ToUtf16(dir.path());
    const std::u16string missing = platform::Utf8ToUtf16(dir / "missing.zip");
    WriteFile(dir / "not.zip", "this is not a zip archive");
    const std::u16string notZip = platform::Utf8ToUtf16(dir / "not.zip");
    const char16_t lone[] = {u'/', u't', u'm', u'p', u'/', 0xD800, 0};  // unpaired surrogate

    EXPECT_EQ(ExtractZipToDir(nullptr, folder.c_str(), 0), kExtractBadArguments);
    EXPECT_EQ(ExtractZipToDir(notZip.c_str(), nullptr, 0), kExtractBadArguments);
    EXPECT_EQ(ExtractZipToDir(u"", folder.c_str(), 0), kExtractBadArguments);
    EXPECT_EQ(ExtractZipToDir(lone, folder.c_str(), 0), kExtractBadArguments);
    EXPECT_EQ(ExtractZipToDir(missing.c_str(), folder.c_str(), 0), kExtractUnreadable);
    EXPECT_EQ(ExtractZipToDir(notZip.c_str(), folder.c_str(), 0), kExtractUnreadable);
}

// The program found zlib.dll through RUNPATH $ORIGIN, in its own folder.
TEST(ExtractZipToDir, BoundFromTheProgramsOwnFolder) {
    Dl_info info{};
    ASSERT_NE(::dladdr(reinterpret_cast<void*>(&ExtractZipToDir), &info), 0);
    const fs::path library = fs::canonical(info.dli_fname);
    EXPECT_EQ(library.filename(), "zlib.dll");
    EXPECT_EQ(library.parent_path(), fs::canonical("/proc/self/exe").parent_path());
}
