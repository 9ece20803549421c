#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"
#include "unpack/Unpack.h"
#include "zip_builder.h"

namespace {

namespace fs = std::filesystem;
using tavlin::unpack::UnpackArchive;
using tavlin::unpack::UnpackOptions;
using tavlin_test::ReadFileText;
using tavlin_test::WriteFileText;
using tavlin_test::ZipBuilder;
using tavlin_test::ZipEntry;

// Everything below `dir` as path -> "dir", "link:<target>" or "file:<data>";
// links are listed, never followed.
std::map<std::string, std::string> Tree(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string rel = e.path().lexically_relative(dir).string();
        if (e.is_symlink()) out[rel] = "link:" + fs::read_symlink(e.path()).string();
        else if (e.is_directory()) out[rel] = "dir";
        else out[rel] = "file:" + ReadFileText(e.path().string());
    }
    return out;
}

mode_t ModeOf(const std::string& path) {
    struct stat st{};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class Unpack : public testing::Test {
protected:
    void SetUp() override {
        oldUmask_ = ::umask(022);
        fs::create_directories(root);
        fs::create_directories(outside);
    }
    void TearDown() override { ::umask(oldUmask_); }

    // Extracts `zip` into root, collecting the skipped names.
    tavlin::unpack::UnpackResult Run(unsigned threads = 1) {
        UnpackOptions options;
        options.threads = threads;
        options.onSkip = [this](const std::string& name, const std::string&) { skipped.push_back(name); };
        return UnpackArchive(zip, root, options);
    }

    tavlin_test::TempDir tmp{"tavlin-unpack-"};
    // The root sits alone in a sentinel folder, so anything written beside
    // it shows up there.
    const std::string sentinel = tmp / "sentinel";
    const std::string root = tmp / "sentinel/root";
    const std::string outside = tmp / "outside";
    const std::string zip = tmp / "package.zip";
    std::vector<std::string> skipped;

private:
    mode_t oldUmask_ = 022;
};

TEST_F(Unpack, FoldersFilesAndTimes) {
    ZipEntry empty;
    empty.name = "empty.txt";
    empty.extra = tavlin_test::UtExtraField(3, {1500000000, 1400000000});
    ZipEntry stored;
    stored.name = "a/b/c/deep.txt";
    stored.data = "deep";
    stored.deflate = false;
    ZipBuilder z(zip);
    z.AddFile("bin/tool.dll", std::string(100000, 'T')).AddDir("logs/").Add(empty).Add(stored);
    z.AddFile("中文/文件.txt", "wide");
    z.Close();

    const auto result = Run();
    EXPECT_TRUE(result.opened);
    EXPECT_EQ(result.written, 4u);
    EXPECT_EQ(result.folders, 1u);
    EXPECT_TRUE(skipped.empty());
    const std::map<std::string, std::string> expected = {
        {"a", "dir"}, {"a/b", "dir"}, {"a/b/c", "dir"}, {"a/b/c/deep.txt", "file:deep"},
        {"bin", "dir"}, {"bin/tool.dll", "file:" + std::string(100000, 'T')},
        {"empty.txt", "file:"}, {"logs", "dir"}, {"中文", "dir"}, {"中文/文件.txt", "file:wide"}};
    // Times first: reading the files below moves their access times.
    struct stat st{};
    ASSERT_EQ(::stat((root + "/empty.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1500000000);
    EXPECT_EQ(st.st_atime, 1400000000);
    EXPECT_EQ(Tree(root), expected);
}

TEST_F(Unpack, PermissionsFollowTheEntry) {
    auto entry = [](std::string name, uint8_t host, uint32_t attributes) {
        ZipEntry e;
        e.name = std::move(name);
        e.data = "x";
        e.host = host;
        e.externalAttributes = attributes;
        return e;
    };
    using tavlin_test::UnixAttributes;
    namespace host = tavlin_test::zip_host;
    tavlin_test::WriteZip(zip, {entry("run.sh", host::kUnix, UnixAttributes(0100755)),
                                entry("ro.txt", host::kUnix, UnixAttributes(0100444)),
                                entry("rw.txt", host::kUnix, UnixAttributes(0100644)),
                                entry("open.txt", host::kUnix, UnixAttributes(0100777)),
                                entry("suid", host::kUnix, UnixAttributes(0104755)),
                                entry("dos-ro.txt", host::kDos, 0x21),
                                entry("dos.txt", host::kNtfs, 0x20)});
    Run();
    EXPECT_EQ(ModeOf(root + "/run.sh"), 0755u);
    EXPECT_EQ(ModeOf(root + "/ro.txt"), 0444u);
    EXPECT_EQ(ModeOf(root + "/rw.txt"), 0644u);
    EXPECT_EQ(ModeOf(root + "/open.txt"), 0755u);  // the umask still applies
    EXPECT_EQ(ModeOf(root + "/suid"), 0755u);
    EXPECT_EQ(ModeOf(root + "/dos-ro.txt"), 0444u);
    EXPECT_EQ(ModeOf(root + "/dos.txt"), 0644u);
}

TEST_F(Unpack, ReplacesExistingFilesEvenReadOnlyOnes) {
    ASSERT_TRUE(WriteFileText(root + "/app.dll", "old version"));
    ASSERT_TRUE(WriteFileText(root + "/locked.txt", "old"));
    ::chmod((root + "/locked.txt").c_str(), 0444);
    ZipBuilder z(zip);
    z.AddFile("app.dll", "new").AddFile("locked.txt", "new too");
    z.Close();
    Run();
    EXPECT_EQ(ReadFileText(root + "/app.dll"), "new");
    EXPECT_EQ(ReadFileText(root + "/locked.txt"), "new too");
}

TEST_F(Unpack, LaterEntryOfTheSameNameWins) {
    for (unsigned threads : {1u, 2u}) {
        ZipBuilder z(zip);
        z.AddFile("f.txt", "first").AddFile("g.txt", "g").AddFile("sub/../f.txt", "second");
        z.Close();
        Run(threads);
        EXPECT_EQ(ReadFileText(root + "/f.txt"), "second") << threads;
    }
}

TEST_F(Unpack, BrokenEntriesLeaveTheOldFileIntact) {
    const std::string old = "old content\n";
    const std::string data = std::string(5000, 'n') + "new content";
    struct Case {
        const char* what;
        bool deflate;
        std::optional<uint32_t> crc;
        std::optional<uint64_t> size;
    };
    const Case cases[] = {
        {"wrong CRC, stored", false, 0x12345678u, std::nullopt},
        {"wrong CRC, deflated", true, 0x12345678u, std::nullopt},
        {"declared longer, stored", false, std::nullopt, data.size() + 10},
        {"declared longer, deflated", true, std::nullopt, data.size() + 10},
        {"declared shorter, stored", false, std::nullopt, data.size() - 10},
        {"declared shorter, deflated", true, std::nullopt, data.size() - 10},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFileText(root + "/keep.dll", old));
        ZipEntry broken;
        broken.name = "keep.dll";
        broken.data = data;
        broken.deflate = c.deflate;
        broken.declaredCrc = c.crc;
        broken.declaredSize = c.size;
        ZipBuilder z(zip);
        z.Add(broken).AddFile("other.txt", c.what);
        z.Close();
        skipped.clear();

        Run();
        EXPECT_EQ(ReadFileText(root + "/keep.dll"), old) << c.what;
        EXPECT_EQ(ReadFileText(root + "/other.txt"), c.what) << c.what;
        EXPECT_EQ(skipped, std::vector<std::string>{"keep.dll"}) << c.what;
        // No temporary file is left behind.
        EXPECT_EQ(Tree(root).size(), 2u) << c.what;
    }
}

TEST_F(Unpack, NamesLeavingTheRootAreRefused) {
    ZipBuilder z(zip);
    for (const char* name : {"../x.dll", "..\\x2.dll", "a/../../x3", "/abs/b.txt", "C:\\win\\c.txt",
                             "a/../../../y.dll", "\\\\server\\share\\s.txt", "..", "../"})
        z.AddFile(name, name);
    z.Close();
    Run();
    EXPECT_EQ(skipped, (std::vector<std::string>{"../x.dll", "..\\x2.dll", "a/../../x3", "..", "../"}));
    const std::map<std::string, std::string> expected = {
        {"abs", "dir"}, {"abs/b.txt", "file:/abs/b.txt"},
        {"win", "dir"}, {"win/c.txt", "file:C:\\win\\c.txt"},
        {"y.dll", "file:a/../../../y.dll"},
        {"server", "dir"}, {"server/share", "dir"}, {"server/share/s.txt", "file:\\\\server\\share\\s.txt"}};
    EXPECT_EQ(Tree(root), expected);
    EXPECT_EQ(Tree(sentinel).size(), expected.size() + 1);  // only root and what is inside
    EXPECT_TRUE(Tree(tmp.path()).count("x.dll") == 0);
}

TEST_F(Unpack, NameWithNulIsRefused) {
    ZipBuilder z(zip);
    z.AddFile("evilXname.txt", "data").AddFile("fine.txt", "ok");
    z.Close();
    // minizip cannot write a NUL into a name: patch it in, in both records.
    std::string bytes = ReadFileText(zip);
    for (std::size_t at = bytes.find("evilXname"); at != std::string::npos; at = bytes.find("evilXname"))
        bytes[at + 4] = '\0';
    ASSERT_TRUE(WriteFileText(zip, bytes));
    Run();
    EXPECT_EQ(Tree(root), (std::map<std::string, std::string>{{"fine.txt", "file:ok"}}));
    ASSERT_EQ(skipped.size(), 1u);
}

TEST_F(Unpack, NeverWritesThroughALinkInTheInstallation) {
    fs::create_directory_symlink(outside, root + "/plugins");
    ASSERT_TRUE(WriteFileText(outside + "/target.txt", "outside"));
    fs::create_symlink(outside + "/target.txt", root + "/config.txt");
    ZipBuilder z(zip);
    z.AddFile("plugins/evil.dll", "evil").AddFile("plugins/deep/evil.dll", "evil");
    z.AddFile("config.txt", "replaced");
    z.Close();
    Run();
    EXPECT_TRUE(Tree(outside) == (std::map<std::string, std::string>{{"target.txt", "file:outside"}}));
    EXPECT_EQ(skipped, (std::vector<std::string>{"plugins/evil.dll", "plugins/deep/evil.dll"}));
    // The link itself is replaced by the file, not written through.
    EXPECT_FALSE(fs::is_symlink(root + "/config.txt"));
    EXPECT_EQ(ReadFileText(root + "/config.txt"), "replaced");
}

TEST_F(Unpack, LinkEntriesOnlyInsideTheRoot) {
    ASSERT_TRUE(WriteFileText(root + "/current", "old file"));
    ZipBuilder z(zip);
    z.AddFile("bin/tool-2.dll", "tool").AddFile("README", "read me");
    z.AddSymlink("current", "bin/tool-2.dll").AddSymlink("bin/readme", "../README");
    z.AddSymlink("escape", "../../etc").AddSymlink("abs", "/etc/passwd");
    z.AddSymlink("self", ".").AddSymlink("tricky", "self/..");
    z.Close();
    Run();
    const auto tree = Tree(root);
    EXPECT_EQ(tree.at("current"), "link:bin/tool-2.dll");
    EXPECT_EQ(tree.at("bin/readme"), "link:../README");
    EXPECT_EQ(tree.at("self"), "link:.");
    EXPECT_EQ(tree.count("escape") + tree.count("abs") + tree.count("tricky"), 0u);
    EXPECT_EQ(skipped, (std::vector<std::string>{"escape", "abs", "tricky"}));
    EXPECT_EQ(ReadFileText(root + "/current"), "tool");
}

TEST_F(Unpack, UnreadableArchivesExtractNothing) {
    ZipBuilder z(tmp / "good.zip");
    z.AddFile("a.txt", std::string(20000, 'a')).AddFile("b.txt", "b");
    z.Close();
    const std::string good = ReadFileText(tmp / "good.zip");
    const std::pair<const char*, std::string> cases[] = {
        {"garbage", std::string(4096, '\x5a')},
        {"empty file", ""},
        {"cut before its directory", good.substr(0, good.size() / 2)},
    };
    for (const auto& [what, bytes] : cases) {
        ASSERT_TRUE(WriteFileText(zip, bytes));
        const auto result = Run();
        EXPECT_FALSE(result.opened) << what;
        EXPECT_TRUE(Tree(root).empty()) << what;
    }
    EXPECT_FALSE(UnpackArchive(tmp / "missing.zip", root).opened);
}

TEST_F(Unpack, TwoThreadsGiveTheSameTree) {
    ZipBuilder z(zip);
    // 200 folders visited in turn: more than the walker keeps open at once.
    for (int i = 0; i < 150; ++i) {
        const std::string name = "d" + std::to_string(i % 50) + "/e" + std::to_string(i % 3) + "/f" +
                                 std::to_string(i) + ".bin";
        z.AddFile(name, std::string(static_cast<std::size_t>(i) * 997, static_cast<char>('a' + i % 26)));
    }
    z.AddFile(std::string(150, 'L') + "/" + std::string(150, 'M') + ".txt", "a name longer than 259 characters");
    z.Close();
    Run(2);
    const auto twoThreads = Tree(root);
    fs::remove_all(root);
    Run(1);
    EXPECT_EQ(Tree(root), twoThreads);
    EXPECT_EQ(twoThreads.size(), 50u + 150u + 150u + 2u);
    EXPECT_TRUE(skipped.empty());
}

// The launcher unpacks update.zip inside its own root; a package may carry
// an entry of that very name, written while other threads still read.
TEST_F(Unpack, EntryReplacingTheArchiveItself) {
    const std::string inRoot = root + "/update.zip";
    {
        ZipBuilder z(inRoot);
        z.AddFile("update.zip", "not the package any more");
        for (int i = 0; i < 8; ++i) z.AddFile("big" + std::to_string(i) + ".bin", std::string(1 << 20, char('0' + i)));
        z.Close();
    }
    UnpackOptions options;
    options.threads = 2;
    options.onSkip = [this](const std::string& name, const std::string&) { skipped.push_back(name); };
    const auto result = UnpackArchive(inRoot, root, options);
    EXPECT_EQ(result.written, 9u);
    EXPECT_TRUE(skipped.empty());
    EXPECT_EQ(ReadFileText(inRoot), "not the package any more");
    EXPECT_EQ(ReadFileText(root + "/big7.bin"), std::string(1 << 20, '7'));
}

TEST_F(Unpack, FilesAndFoldersInEachOthersWay) {
    ASSERT_TRUE(WriteFileText(root + "/lib", "a file, not a folder"));
    fs::create_directories(root + "/plugins");
    ASSERT_TRUE(WriteFileText(root + "/plugins/a.dll", "plugin"));
    ZipBuilder z(zip);
    z.AddFile("lib/x.so", "x").AddFile("plugins", "a file over a folder").AddFile("ok.txt", "ok");
    z.Close();
    Run();
    EXPECT_EQ(ReadFileText(root + "/lib"), "a file, not a folder");
    EXPECT_EQ(ReadFileText(root + "/plugins/a.dll"), "plugin");
    EXPECT_EQ(ReadFileText(root + "/ok.txt"), "ok");
    EXPECT_EQ(skipped, (std::vector<std::string>{"lib/x.so", "plugins"}));
    EXPECT_EQ(Tree(root).size(), 4u);  // no temporary file left either
}

}  // namespace
