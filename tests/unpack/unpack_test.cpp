#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "access_hook.h"
#include "child_process.h"
#include "platform/unique_fd.h"
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

    // Applies `zip` to root; a failed package leaves its entry's name in
    // `failed`.
    tavlin::unpack::UnpackResult Run(unsigned threads = 1, std::vector<std::string> executables = {}) {
        UnpackOptions options;
        options.threads = threads;
        options.executables = std::move(executables);
        auto result = UnpackArchive(zip, root, options);
        failed = result.applied ? "" : result.failedEntry;
        reason = result.reason;
        EXPECT_FALSE(fs::exists(fs::symlink_status(root + "/.tavlin-journal"))) << "journal left behind";
        return result;
    }

    tavlin_test::TempDir tmp{"tavlin-unpack-"};
    // The root sits alone in a sentinel folder, so anything written beside
    // it shows up there.
    const std::string sentinel = tmp / "sentinel";
    const std::string root = tmp / "sentinel/root";
    const std::string outside = tmp / "outside";
    const std::string zip = tmp / "package.zip";
    std::string failed;
    std::string reason;

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
    EXPECT_TRUE(result.applied) << reason;
    EXPECT_EQ(result.written, 4u);
    EXPECT_EQ(result.folders, 1u);
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

// A package lands whole or not at all: one bad entry anywhere leaves every
// installed file as it was and nothing of the package behind.
TEST_F(Unpack, OneBadEntryLeavesTheInstallationAsItWas) {
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
    for (unsigned threads : {1u, 2u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", threads " + std::to_string(threads));
            fs::remove_all(root);
            fs::create_directories(root + "/bin");
            ASSERT_TRUE(WriteFileText(root + "/app.dll", "old app"));
            ASSERT_TRUE(WriteFileText(root + "/bin/keep.dll", "old keep"));
            const auto before = Tree(root);
            ZipEntry broken;
            broken.name = "bin/keep.dll";
            broken.data = data;
            broken.deflate = c.deflate;
            broken.declaredCrc = c.crc;
            broken.declaredSize = c.size;
            ZipBuilder z(zip);
            // Good entries before it, in new folders and over old files.
            z.AddFile("app.dll", "new app").AddFile("new/deep/x.txt", "x").AddDir("logs/");
            for (int i = 0; i < 4; ++i) z.AddFile("big" + std::to_string(i), std::string(3 << 20, 'b'));
            z.Add(broken);
            z.Close();

            const auto result = Run(threads);
            EXPECT_FALSE(result.applied);
            EXPECT_EQ(failed, "bin/keep.dll");
            EXPECT_EQ(Tree(root), before);
        }
    }
}

TEST_F(Unpack, TargetsThatCannotBeReplacedFailThePackage) {
    struct Case {
        const char* what;
        std::function<void(const std::string&)> prepare;
        const char* entry;
    };
    const Case cases[] = {
        {"a folder in place of a file", [](const std::string& r) {
             fs::create_directories(r + "/plugins");
             WriteFileText(r + "/plugins/a.dll", "plugin");
         }, "plugins"},
        {"a file in place of a folder", [](const std::string& r) { WriteFileText(r + "/lib", "a file"); },
         "lib/x.so"},
        {"a link in place of a folder", [this](const std::string& r) {
             fs::create_directory_symlink(outside, r + "/lib");
         }, "lib/x.so"},
        {"a name too long for the file system", [](const std::string&) {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root);
        fs::create_directories(root);
        ASSERT_TRUE(WriteFileText(root + "/app.dll", "old app"));
        c.prepare(root);
        const auto before = Tree(root);
        const std::string name = c.entry ? c.entry : "bin/" + std::string(300, 'n');
        ZipBuilder z(zip);
        z.AddFile("app.dll", "new app").AddFile("bin/new.dll", "new").AddFile(name, "in the way");
        z.Close();
        EXPECT_FALSE(Run().applied);
        EXPECT_EQ(failed, name);
        EXPECT_EQ(Tree(root), before);
        EXPECT_TRUE(Tree(outside).empty());
    }
}

TEST_F(Unpack, ReadOnlyFolderFailsThePackage) {
    fs::create_directories(root + "/ro");
    ASSERT_TRUE(WriteFileText(root + "/ro/f.txt", "old"));
    ASSERT_TRUE(WriteFileText(root + "/app.dll", "old app"));
    ZipBuilder z(zip);
    z.AddFile("app.dll", "new app").AddFile("ro/f.txt", "new");
    z.Close();
    // Root writes into read-only folders: the unpacking runs as another
    // user then, who owns the tree.
    const bool asOther = ::geteuid() == 0;
    if (asOther) {
        for (const auto& e : fs::recursive_directory_iterator(tmp.path())) ::lchown(e.path().c_str(), 65534, 65534);
        ::chown(tmp.path().c_str(), 65534, 65534);
    }
    ::chmod((root + "/ro").c_str(), 0555);
    const auto before = Tree(root);
    bool applied = true;
    if (asOther) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
            ::_exit(UnpackArchive(zip, root).applied ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(WEXITSTATUS(status), 3);
        applied = WEXITSTATUS(status) == 0;
    } else {
        applied = Run().applied;
    }
    EXPECT_FALSE(applied);
    ::chmod((root + "/ro").c_str(), 0755);
    EXPECT_EQ(Tree(root), before);
    EXPECT_FALSE(fs::exists(root + "/.tavlin-journal"));
}

TEST_F(Unpack, NamesLeavingTheRootFailThePackage) {
    for (const char* name : {"../x.dll", "..\\x2.dll", "a/../../x3", "..", "../", ".tavlin-journal"}) {
        SCOPED_TRACE(name);
        ZipBuilder z(zip);
        z.AddFile("good.txt", "good").AddFile(name, name);
        z.Close();
        EXPECT_FALSE(Run().applied);
        EXPECT_EQ(failed, name);
        EXPECT_TRUE(Tree(root).empty());
        EXPECT_TRUE(Tree(outside).empty());
    }
    // Names that clean into the root are placed there.
    ZipBuilder z(zip);
    for (const char* name : {"/abs/b.txt", "C:\\win\\c.txt", "a/../../../y.dll", "\\\\server\\share\\s.txt"})
        z.AddFile(name, name);
    z.Close();
    EXPECT_TRUE(Run().applied) << reason;
    const std::map<std::string, std::string> expected = {
        {"abs", "dir"}, {"abs/b.txt", "file:/abs/b.txt"},
        {"win", "dir"}, {"win/c.txt", "file:C:\\win\\c.txt"},
        {"y.dll", "file:a/../../../y.dll"},
        {"server", "dir"}, {"server/share", "dir"}, {"server/share/s.txt", "file:\\\\server\\share\\s.txt"}};
    EXPECT_EQ(Tree(root), expected);
    EXPECT_EQ(Tree(sentinel).size(), expected.size() + 1);  // only root and what is inside
}

// A name longer than the file system takes fails the package before the
// commit: a commit that cannot finish would hold back every later package.
TEST_F(Unpack, ANameTooLongForTheFileSystemFailsBeforeTheCommit) {
    ASSERT_TRUE(WriteFileText(root + "/a.txt", "old a"));
    ZipBuilder z(zip);
    z.AddFile("a.txt", "new a").AddFile("bin/" + std::string(300, 'n') + ".dll", "long");
    z.Close();
    const auto r = Run();
    EXPECT_FALSE(r.applied);
    EXPECT_FALSE(r.commitIncomplete);
    EXPECT_EQ(ReadFileText(root + "/a.txt"), "old a");
    EXPECT_FALSE(fs::exists(root + "/bin"));
}

TEST_F(Unpack, NameWithNulOrControlCharacters) {
    ZipBuilder z(zip);
    z.AddFile("evilXname.txt", "data").AddFile("fine.txt", "ok");
    z.Close();
    // minizip cannot write a NUL into a name: patch it in, in both records.
    std::string bytes = ReadFileText(zip);
    for (std::size_t at = bytes.find("evilXname"); at != std::string::npos; at = bytes.find("evilXname"))
        bytes[at + 4] = '\0';
    ASSERT_TRUE(WriteFileText(zip, bytes));
    EXPECT_FALSE(Run().applied);
    EXPECT_TRUE(Tree(root).empty());
    // A name that would forge a log line is reported escaped.
    ZipBuilder z2(zip);
    z2.AddFile("fine.txt", "ok").AddFile("../x\n[INFO] forged\x1b[2J", "x");
    z2.Close();
    EXPECT_FALSE(Run().applied);
    EXPECT_EQ(failed, "../x\\x0a[INFO] forged\\x1b[2J");
}

TEST_F(Unpack, NeverWritesThroughALinkInTheInstallation) {
    fs::create_directory_symlink(outside, root + "/plugins");
    ASSERT_TRUE(WriteFileText(outside + "/target.txt", "outside"));
    fs::create_symlink(outside + "/target.txt", root + "/config.txt");
    ZipBuilder z(zip);
    z.AddFile("config.txt", "replaced").AddFile("plugins/deep/evil.dll", "evil");
    z.Close();
    EXPECT_FALSE(Run().applied);
    EXPECT_EQ(failed, "plugins/deep/evil.dll");
    EXPECT_TRUE(fs::is_symlink(root + "/config.txt"));
    // Without the entry below the link, the link itself is replaced by the
    // file, not written through.
    ZipBuilder z2(zip);
    z2.AddFile("config.txt", "replaced");
    z2.Close();
    EXPECT_TRUE(Run().applied) << reason;
    EXPECT_TRUE(Tree(outside) == (std::map<std::string, std::string>{{"target.txt", "file:outside"}}));
    EXPECT_FALSE(fs::is_symlink(root + "/config.txt"));
    EXPECT_EQ(ReadFileText(root + "/config.txt"), "replaced");
}

TEST_F(Unpack, LinkEntriesOnlyInsideTheRoot) {
    ASSERT_TRUE(WriteFileText(root + "/current", "old file"));
    ZipBuilder z(zip);
    z.AddFile("bin/tool-2.dll", "tool").AddFile("README", "read me");
    z.AddSymlink("current", "bin/tool-2.dll").AddSymlink("bin/readme", "../README").AddSymlink("self", ".");
    z.Close();
    EXPECT_TRUE(Run().applied) << reason;
    const auto tree = Tree(root);
    EXPECT_EQ(tree.at("current"), "link:bin/tool-2.dll");
    EXPECT_EQ(tree.at("bin/readme"), "link:../README");
    EXPECT_EQ(tree.at("self"), "link:.");
    EXPECT_EQ(ReadFileText(root + "/current"), "tool");

    for (auto [name, target] : {std::pair{"escape", "../../etc"}, {"abs", "/etc/passwd"}, {"tricky", "self/.."}}) {
        SCOPED_TRACE(name);
        ZipBuilder bad(zip);
        bad.AddFile("new.txt", "new").AddSymlink(name, target);
        bad.Close();
        EXPECT_FALSE(Run().applied);
        EXPECT_EQ(failed, name);
        EXPECT_EQ(Tree(root), tree);
    }
}

TEST_F(Unpack, UnreadableArchivesChangeNothing) {
    ZipBuilder z(tmp / "good.zip");
    z.AddFile("a.txt", std::string(20000, 'a')).AddFile("b.txt", "b");
    z.Close();
    const std::string good = ReadFileText(tmp / "good.zip");
    ASSERT_TRUE(WriteFileText(root + "/a.txt", "old"));
    const std::pair<const char*, std::string> cases[] = {
        {"garbage", std::string(4096, '\x5a')},
        {"empty file", ""},
        {"cut before its directory", good.substr(0, good.size() / 2)},
    };
    for (const auto& [what, bytes] : cases) {
        ASSERT_TRUE(WriteFileText(zip, bytes));
        const auto result = Run();
        EXPECT_FALSE(result.opened) << what;
        EXPECT_FALSE(result.applied) << what;
        EXPECT_EQ(Tree(root).size(), 1u) << what;
    }
    EXPECT_FALSE(UnpackArchive(tmp / "missing.zip", root).opened);
    EXPECT_EQ(ReadFileText(root + "/a.txt"), "old");
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
    EXPECT_TRUE(Run(2).applied) << reason;
    const auto twoThreads = Tree(root);
    fs::remove_all(root);
    EXPECT_TRUE(Run(1).applied) << reason;
    EXPECT_EQ(Tree(root), twoThreads);
    EXPECT_EQ(twoThreads.size(), 50u + 150u + 150u + 2u);
}

// A full package over the version it repeats: files that already hold the
// entry's bytes, mode and time stay as they are (same inode, nothing
// staged); every other file is replaced, even when only one byte, the mode
// or the time differs. A damaged entry still fails the package although its
// target holds the right bytes.
TEST_F(Unpack, FilesThatAlreadyMatchTheirEntriesStay) {
    const std::string body(300000, 'p');
    auto build = [&](std::optional<uint32_t> sameCrc) {
        ZipBuilder z(zip);
        ZipEntry same;
        same.name = "same.dll";
        same.data = body;
        same.declaredCrc = sameCrc;
        ZipEntry tool;
        tool.name = "bin/tool.so";
        tool.data = "\x7f" "ELF tool";
        tool.externalAttributes = tavlin_test::UnixAttributes(0100755);
        z.Add(same).Add(tool);
        for (const char* name : {"tail.txt", "mode.txt", "time.txt", "grown.txt", "empty.txt"})
            z.AddFile(name, std::string(name) == "empty.txt" ? "" : body + name);
        z.Close();
    };
    auto inode = [&](const std::string& name) {
        struct stat st{};
        EXPECT_EQ(::lstat((root + "/" + name).c_str(), &st), 0) << name;
        return st.st_ino;
    };
    for (unsigned threads : {1u, 2u}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        fs::remove_all(root);
        build(std::nullopt);
        ASSERT_TRUE(Run(threads).applied) << reason;
        const auto installed = Tree(root);
        struct stat entryTime{};
        ASSERT_EQ(::stat((root + "/tail.txt").c_str(), &entryTime), 0);
        {
            // One byte changed in place, size and time kept.
            std::fstream f(root + "/tail.txt", std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(-1, std::ios::end);
            f.put('!');
        }
        const timespec times[2] = {entryTime.st_atim, entryTime.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, (root + "/tail.txt").c_str(), times, 0), 0);
        fs::permissions(root + "/mode.txt", fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
        const timespec later[2] = {{entryTime.st_mtim.tv_sec + 60, 0}, {entryTime.st_mtim.tv_sec + 60, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (root + "/time.txt").c_str(), later, 0), 0);
        { std::ofstream(root + "/grown.txt", std::ios::app) << "more"; }
        std::map<std::string, ino_t> before;
        for (const char* name : {"same.dll", "bin/tool.so", "empty.txt", "tail.txt", "mode.txt", "time.txt", "grown.txt"})
            before[name] = inode(name);

        // The same package with a wrong CRC for a file that matches: refused.
        build(0x12345678u);
        const auto changed = Tree(root);
        EXPECT_FALSE(Run(threads).applied);
        EXPECT_EQ(failed, "same.dll");
        EXPECT_EQ(Tree(root), changed);

        build(std::nullopt);
        const auto result = Run(threads);
        ASSERT_TRUE(result.applied) << reason;
        EXPECT_EQ(result.written, 7u);
        EXPECT_EQ(result.unchanged, 3u);
        EXPECT_EQ(Tree(root), installed);
        for (const char* name : {"same.dll", "bin/tool.so", "empty.txt"}) EXPECT_EQ(inode(name), before[name]) << name;
        for (const char* name : {"tail.txt", "mode.txt", "time.txt", "grown.txt"}) {
            EXPECT_NE(inode(name), before[name]) << name;
            struct stat st{};
            ASSERT_EQ(::stat((root + "/" + name).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0644u) << name;
            EXPECT_EQ(st.st_mtim.tv_sec, entryTime.st_mtim.tv_sec) << name;
        }
        EXPECT_EQ(ModeOf(root + "/bin/tool.so"), 0755u);
    }
}

// The launcher unpacks update.zip inside its own root; a package may carry
// an entry of that very name.
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
    const auto result = UnpackArchive(inRoot, root, options);
    EXPECT_TRUE(result.applied) << result.reason;
    EXPECT_EQ(result.written, 9u);
    EXPECT_EQ(ReadFileText(inRoot), "not the package any more");
    EXPECT_EQ(ReadFileText(root + "/big7.bin"), std::string(1 << 20, '7'));
}

// Packages made on Windows carry no Unix mode: replacing a program keeps
// its execute bit, and a new program is recognised by its first bytes.
TEST_F(Unpack, PermissionsOfPackagesWithoutUnixModes) {
    namespace host = tavlin_test::zip_host;
    auto dos = [](std::string name, std::string data, uint8_t h = host::kDos, uint32_t attributes = 0x20) {
        ZipEntry e;
        e.name = std::move(name);
        e.data = std::move(data);
        e.host = h;
        e.externalAttributes = attributes;
        return e;
    };
    ASSERT_TRUE(WriteFileText(root + "/tavlin.exe", "old program"));
    ::chmod((root + "/tavlin.exe").c_str(), 0750);
    ASSERT_TRUE(WriteFileText(root + "/data.bin", "old data"));
    ::chmod((root + "/data.bin").c_str(), 0600);
    ASSERT_TRUE(WriteFileText(root + "/unix.sh", "old script"));
    ::chmod((root + "/unix.sh").c_str(), 0755);
    ZipEntry unixMode = dos("unix.sh", "#!/bin/sh\n", host::kUnix, tavlin_test::UnixAttributes(0100644));
    ZipEntry noMode = dos("nomode.bin", "\x7f" "ELF....", host::kUnix, 0);
    tavlin_test::WriteZip(zip, {dos("tavlin.exe", "MZ new program"), dos("data.bin", "new data", host::kNtfs),
                                dos("new-elf", std::string("\x7f" "ELF\x02\x01", 6)),
                                dos("new-script", "#!/bin/sh\necho hi\n", host::kVfat),
                                dos("new-ro-script", "#!/bin/sh\n", host::kDos, 0x21), dos("new.txt", "#not a script"),
                                dos("short", "#"), unixMode, noMode});
    EXPECT_TRUE(Run(1, {"tavlin.exe"}).applied) << reason;
    EXPECT_EQ(ModeOf(root + "/tavlin.exe"), 0750u);
    EXPECT_EQ(ModeOf(root + "/data.bin"), 0600u);
    EXPECT_EQ(ModeOf(root + "/new-elf"), 0755u);
    EXPECT_EQ(ModeOf(root + "/new-script"), 0755u);
    EXPECT_EQ(ModeOf(root + "/new-ro-script"), 0555u);
    EXPECT_EQ(ModeOf(root + "/new.txt"), 0644u);
    EXPECT_EQ(ModeOf(root + "/short"), 0644u);
    EXPECT_EQ(ModeOf(root + "/unix.sh"), 0644u);  // a Unix mode is the package's word
    EXPECT_EQ(ModeOf(root + "/nomode.bin"), 0755u);
}

TEST_F(Unpack, TheClientProgramEndsExecutableOrThePackageFails) {
    // A program whose mode got lost on the way is made executable.
    ZipEntry lost;
    lost.name = "tavlin.exe";
    lost.data = "\x7f" "ELF client";
    lost.externalAttributes = tavlin_test::UnixAttributes(0100600);
    tavlin_test::WriteZip(zip, {lost});
    EXPECT_TRUE(Run(1, {"tavlin.exe"}).applied) << reason;
    EXPECT_EQ(ModeOf(root + "/tavlin.exe"), 0700u);
    fs::remove(root + "/tavlin.exe");

    namespace host = tavlin_test::zip_host;
    struct Case {
        const char* what;
        uint8_t host;
        uint32_t attributes;
        const char* data;
    };
    const Case cases[] = {
        {"new, from Windows, not a program here", host::kDos, 0x20, "MZ windows program"},
        {"a Unix mode without execute bits, not a program", host::kUnix, tavlin_test::UnixAttributes(0100644),
         "client v2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root);
        fs::create_directories(root);
        ASSERT_TRUE(WriteFileText(root + "/app.dll", "old"));
        ZipEntry program;
        program.name = "tavlin.exe";
        program.data = c.data;
        program.host = c.host;
        program.externalAttributes = c.attributes;
        ZipEntry other;
        other.name = "app.dll";
        other.data = "new";
        tavlin_test::WriteZip(zip, {other, program});
        EXPECT_FALSE(Run(1, {"tavlin.exe"}).applied);
        EXPECT_EQ(failed, "tavlin.exe");
        EXPECT_EQ(Tree(root), (std::map<std::string, std::string>{{"app.dll", "file:old"}}));
    }
}

}  // namespace

namespace {

// Versions that kept no journal left staged files behind when killed; a
// package that writes to their folders sweeps them, and nothing else.
TEST_F(Unpack, StagedFilesOfOlderRunsAreSwept) {
    fs::create_directories(root + "/bin");
    fs::create_directories(root + "/other");
    ASSERT_TRUE(WriteFileText(root + "/a.dll", "old a"));
    ASSERT_TRUE(WriteFileText(root + "/bin/tool.dll", "old tool"));
    for (const char* name : {".a.dll.tavlin-Ab12Cd", "bin/.tool.dll.tavlin-zzZZ99"})
        ASSERT_TRUE(WriteFileText(root + "/" + name, "debris"));
    // Not beside a file of that name, not of the form, or in a folder the
    // package does not write to: kept.
    for (const char* name : {".tavlin-notes", "bin/.tavlin-000000", "bin/x.tavlin-Ab12Cd", "bin/.y.tavlin-Ab12C!",
                             "other/.z.tavlin-Ab12Cd"})
        ASSERT_TRUE(WriteFileText(root + "/" + name, "kept"));
    ZipBuilder z(zip);
    z.AddFile("a.dll", "a").AddFile("bin/tool.dll", "tool");
    z.Close();
    EXPECT_TRUE(Run().applied) << reason;
    EXPECT_EQ(Tree(root), (std::map<std::string, std::string>{{".tavlin-notes", "file:kept"},
                                                               {"a.dll", "file:a"},
                                                               {"bin", "dir"},
                                                               {"bin/.tavlin-000000", "file:kept"},
                                                               {"bin/.y.tavlin-Ab12C!", "file:kept"},
                                                               {"bin/tool.dll", "file:tool"},
                                                               {"bin/x.tavlin-Ab12Cd", "file:kept"},
                                                               {"other", "dir"},
                                                               {"other/.z.tavlin-Ab12Cd", "file:kept"}}));
}

}  // namespace

namespace {

// Immutable and append-only files and folders refuse a rename: the package
// fails before anything is staged instead of half way through its commit.
TEST_F(Unpack, ImmutableTargetsFailBeforeTheCommit) {
    if (::geteuid() != 0) GTEST_SKIP() << "setting the flags needs root";
    fs::create_directories(root + "/lib");
    ASSERT_TRUE(WriteFileText(root + "/a.dll", "old a"));
    ASSERT_TRUE(WriteFileText(root + "/lib/b.dll", "old b"));
    struct Case {
        const char* what;
        const char* path;  // relative to root
        const char* flag;
    };
    const Case cases[] = {
        {"immutable file", "lib/b.dll", "+i"},
        {"append-only file", "lib/b.dll", "+a"},
        {"append-only folder", "lib", "+a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string target = root + "/" + c.path;
        if (std::system(("chattr " + std::string(c.flag) + " '" + target + "' 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "the file system takes no such flags";
        const auto before = Tree(root);
        ZipBuilder z(zip);
        z.AddFile("a.dll", "new a").AddFile("lib/b.dll", "new b");
        z.Close();
        EXPECT_FALSE(Run().applied);
        EXPECT_EQ(failed, "lib/b.dll");
        EXPECT_EQ(Tree(root), before);
        std::string unset = c.flag;
        unset[0] = '-';
        ASSERT_EQ(std::system(("chattr " + unset + " '" + target + "'").c_str()), 0);
    }
}

}  // namespace

namespace {

// Links or folders in place of the programs, staged-looking entry names and
// compression methods the reader cannot inflate fail the package.
TEST_F(Unpack, EntriesThatCannotBeWhatTheyClaimFailThePackage) {
    struct Case {
        const char* what;
        std::function<void(ZipBuilder&)> add;
        const char* failedName;
    };
    const Case cases[] = {
        {"a link in place of the client", [](ZipBuilder& z) { z.AddSymlink("tavlin.exe", "a.dll"); }, "tavlin.exe"},
        {"a folder in place of the client", [](ZipBuilder& z) { z.AddDir("tavlin.exe/"); }, "tavlin.exe/"},
        {"a staged-looking name", [](ZipBuilder& z) { z.AddFile("bin/.x.dll.tavlin-abc123", "x"); },
         "bin/.x.dll.tavlin-abc123"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root);
        fs::create_directories(root);
        ASSERT_TRUE(WriteFileText(root + "/a.dll", "old"));
        ZipBuilder z(zip);
        z.AddFile("a.dll", "new");
        c.add(z);
        z.Close();
        EXPECT_FALSE(Run(1, {"tavlin.exe"}).applied);
        EXPECT_EQ(failed, c.failedName);
        EXPECT_EQ(Tree(root), (std::map<std::string, std::string>{{"a.dll", "file:old"}}));
    }
    // A method number minizip cannot inflate (bzip2 is 12), patched into both
    // records of a stored entry.
    ZipEntry stored;
    stored.name = "b.dat";
    stored.data = "data";
    stored.deflate = false;
    tavlin_test::WriteZip(zip, {stored});
    std::string bytes = ReadFileText(zip);
    ASSERT_EQ(bytes.compare(0, 4, "PK\x03\x04"), 0);
    bytes[8] = 12;  // local header
    const std::size_t central = bytes.find("PK\x01\x02");
    ASSERT_NE(central, std::string::npos);
    bytes[central + 10] = 12;
    ASSERT_TRUE(WriteFileText(zip, bytes));
    EXPECT_FALSE(Run().applied);
    EXPECT_EQ(reason, "unsupported compression method 12");
}

// A package that fails changes nothing, not even what looks like debris of
// an older run; once one is applied, staged files of names beside them go.
TEST_F(Unpack, OldStagedFilesGoOnlyWithAnAppliedPackage) {
    fs::create_directories(root + "/bin");
    ASSERT_TRUE(WriteFileText(root + "/bin/tool.dll", "old"));
    ASSERT_TRUE(WriteFileText(root + "/bin/.tool.dll.tavlin-Ab12Cd", "debris"));
    ASSERT_TRUE(WriteFileText(root + "/bin/.notes.tavlin-backup", "the user's own"));
    ASSERT_TRUE(WriteFileText(root + "/bin/.tool.dll.tavlin-backup", "the user's own too"));
    ZipEntry bad;
    bad.name = "bin/tool.dll";
    bad.data = "new";
    bad.declaredCrc = 1;
    tavlin_test::WriteZip(zip, {bad});
    const auto before = Tree(root);
    EXPECT_FALSE(Run().applied);
    EXPECT_EQ(Tree(root), before);
    ZipBuilder z(zip);
    z.AddFile("bin/tool.dll", "new");
    z.Close();
    EXPECT_TRUE(Run().applied) << reason;
    EXPECT_FALSE(fs::exists(root + "/bin/.tool.dll.tavlin-Ab12Cd"));
    EXPECT_EQ(ReadFileText(root + "/bin/.notes.tavlin-backup"), "the user's own");
    EXPECT_EQ(ReadFileText(root + "/bin/.tool.dll.tavlin-backup"), "the user's own too");
}

}  // namespace

namespace {

// Runs UnpackArchive in a child: 0 when applied, 1 when it failed for
// `expectedReason`, 2 otherwise, 3 when `prepare` failed.
int RunInChild(const std::string& zip, const std::string& root, const std::function<bool()>& prepare,
               const std::string& expectedReason) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (!prepare()) ::_exit(3);
        const auto result = UnpackArchive(zip, root);
        ::_exit(result.applied ? 0 : result.reason.find(expectedReason) != std::string::npos ? 1 : 2);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A rename cannot replace another user's file in a sticky folder, nor a
// mount point: both are found while staging, and nothing changes.
TEST_F(Unpack, TargetsARenameCannotReplaceFailBeforeTheCommit) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make the other user and the mount";
    fs::create_directories(root + "/sub");
    ASSERT_TRUE(WriteFileText(root + "/a.dll", "old a"));
    ASSERT_TRUE(WriteFileText(root + "/sub/b.txt", "old b"));
    ASSERT_TRUE(WriteFileText(outside + "/pinned", "pinned"));
    ZipBuilder z(zip);
    z.AddFile("a.dll", "new a").AddFile("sub/b.txt", "new b");
    z.Close();

    // Another user's file in a sticky folder, the unpacking run as its owner's neighbour.
    for (const auto& e : fs::recursive_directory_iterator(tmp.path())) ::lchown(e.path().c_str(), 65534, 65534);
    ::chown(tmp.path().c_str(), 65534, 65534);
    ::chown((root + "/sub").c_str(), 0, 0);
    ::chown((root + "/sub/b.txt").c_str(), 0, 0);
    ::chmod((root + "/sub").c_str(), 01777);
    auto before = Tree(root);
    EXPECT_EQ(RunInChild(zip, root, [] { return ::setgid(65534) == 0 && ::setuid(65534) == 0; },
                         "another user's file in a sticky folder"),
              1);
    EXPECT_EQ(Tree(root), before);
    ::chmod((root + "/sub").c_str(), 0755);

    // A file mounted over the target, in a mount namespace of the child's own.
    before = Tree(root);
    const std::string target = root + "/sub/b.txt";
    const std::string pinned = outside + "/pinned";
    const int code = RunInChild(
        zip, root,
        [&] {
            return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   ::mount(pinned.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
        },
        "something is mounted on it");
    if (code == 3) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(code, 1);
    EXPECT_EQ(Tree(root), before);
}

}  // namespace

namespace {

// On an overlay whose layers are other file systems, files report their
// layer's device and folders the overlay's: that is no mount on the target.
// Applied again, the package leaves the lower layer's files where they are,
// with no copy made in the upper one.
TEST_F(Unpack, AnOverlayInstallationTakesPackages) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for the mounts";
    const std::string lower = tmp / "lower", upper = tmp / "upper", merged = tmp / "merged";
    for (const std::string& d : {lower, upper, merged}) fs::create_directories(d);
    ZipBuilder z(zip);
    z.AddFile("a.dll", "new a").AddFile("sub/b.txt", "new b");
    z.Close();
    // In the child: a mount namespace of its own with empty layers.
    auto privateLayers = [&] {
        return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               ::mount("tmpfs", lower.c_str(), "tmpfs", 0, "size=4m") == 0 &&
               ::mount("tmpfs", upper.c_str(), "tmpfs", 0, "size=4m") == 0;
    };
    const int code = RunInChild(
        zip, merged,
        [&] {
            if (!privateLayers()) return false;
            fs::create_directories(lower + "/sub");
            fs::create_directories(upper + "/u");
            fs::create_directories(upper + "/w");
            if (!WriteFileText(lower + "/a.dll", "old a") || !WriteFileText(lower + "/sub/b.txt", "old b")) return false;
            const std::string options = "lowerdir=" + lower + ",upperdir=" + upper + "/u,workdir=" + upper + "/w";
            return ::mount("overlay", merged.c_str(), "overlay", 0, options.c_str()) == 0;
        },
        "");
    if (code == 3) GTEST_SKIP() << "no overlay here";
    EXPECT_EQ(code, 0);

    const int again = RunInChild(
        zip, merged,
        [&] {
            if (!privateLayers()) return false;
            // The lower layer holds this package as a first run left it.
            const std::string layer = lower + "/inst";
            if (!UnpackArchive(zip, layer).applied) return false;
            fs::create_directories(upper + "/u");
            fs::create_directories(upper + "/w");
            const std::string options = "lowerdir=" + layer + ",upperdir=" + upper + "/u,workdir=" + upper + "/w";
            if (::mount("overlay", merged.c_str(), "overlay", 0, options.c_str()) != 0) return false;
            const auto result = UnpackArchive(zip, merged);
            // Nothing copied up: the upper layer is as empty as it started.
            return result.applied && result.unchanged == 2 && fs::is_empty(upper + "/u");
        },
        "");
    EXPECT_EQ(again, 0);
}

// A file is kept because it already holds its entry only when it is the
// installation's alone: a hard link shared with a file outside, or another
// user's file, could still be changed from there, and is replaced as any
// other file is. So is a file with capabilities, which a package never
// gives, as it never gives set-id bits.
TEST_F(Unpack, OnlyTheInstallationsOwnFilesAreKept) {
    ZipBuilder z(zip);
    z.AddFile("shared.dll", "shared bytes").AddFile("theirs.dll", "their bytes").AddFile("mine.dll", "my bytes");
    z.AddFile("capable.dll", "capable bytes");
    z.Close();
    ASSERT_TRUE(Run().applied) << reason;
    const std::string shared = root + "/shared.dll", linked = outside + "/shared.dll";
    ASSERT_EQ(::link(shared.c_str(), linked.c_str()), 0);
    const bool privileged = ::geteuid() == 0;
    const std::string capable = root + "/capable.dll";
    if (privileged) {
        ASSERT_EQ(::lchown((root + "/theirs.dll").c_str(), 65534, 65534), 0);
        vfs_cap_data cap{};
        cap.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
        cap.data[0].permitted = 1u << CAP_NET_BIND_SERVICE;
        ASSERT_EQ(::setxattr(capable.c_str(), "security.capability", &cap, XATTR_CAPS_SZ_2, 0), 0) << std::strerror(errno);
    }

    const auto result = Run();
    ASSERT_TRUE(result.applied) << reason;
    EXPECT_EQ(result.unchanged, privileged ? 1u : 3u);
    EXPECT_LT(::getxattr(capable.c_str(), "security.capability", nullptr, 0), 0);
    EXPECT_EQ(ReadFileText(capable), "capable bytes");
    struct stat in{}, out{};
    ASSERT_EQ(::stat(shared.c_str(), &in), 0);
    ASSERT_EQ(::stat(linked.c_str(), &out), 0);
    EXPECT_NE(in.st_ino, out.st_ino);
    EXPECT_EQ(in.st_nlink, 1u);
    ASSERT_TRUE(WriteFileText(linked, "changed outside"));
    EXPECT_EQ(ReadFileText(shared), "shared bytes");
    if (privileged) {
        struct stat theirs{};
        ASSERT_EQ(::stat((root + "/theirs.dll").c_str(), &theirs), 0);
        EXPECT_EQ(theirs.st_uid, 0u);
    }
}

// Another process may change a file between the run's look at it, its
// compare with the entry and the commit. It is kept only when nothing
// touched it in all that time; otherwise it ends as the entry, as if it had
// differed from the start. The writers here put the size and time back, so
// only the change itself can give them away.
TEST_F(Unpack, AFileChangedAroundItsCompareEndsAsTheEntry) {
    using tavlin_test::AccessHook;
    const std::string body(300000, 'a');  // more than one read of the compare
    ZipBuilder z(zip);
    z.AddFile("a.dll", body).AddFile("b.dll", "bee").AddFile("c.dll", "sea");
    z.Close();
    ASSERT_TRUE(WriteFileText(outside + "/c.copy", "sea"));

    struct Context {
        int a = -1;  // a.dll, opened before the hook watches it
        std::time_t time = 0;
        std::string root, outside;
        void PutTimeBack() const {
            const timespec times[2] = {{time, 0}, {time, 0}};
            ::futimens(a, times);
        }
        // Past a coarse clock's tick, so that the change shows in its time.
        static void Later() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }
        void Swap(const std::function<int(const char*)>& make) const {
            const std::string swap = root + "/.swap";
            if (make(swap.c_str()) == 0) ::rename(swap.c_str(), (root + "/c.dll").c_str());
        }
    };
    struct Case {
        const char* what;
        const char* watched;
        AccessHook::Event event;
        int nth;
        std::function<void(const Context&)> action;
    };
    using Event = AccessHook::Event;
    const Case cases[] = {
        {"made set-id between its look and its compare", "a.dll", Event::Open, 1,
         [](const Context& c) { ::chmod((c.root + "/a.dll").c_str(), 04755); }},
        {"grown during its compare", "a.dll", Event::Read, 1,
         [](const Context& c) {
             (void)!::pwrite(c.a, "tail", 4, 300000);
             c.PutTimeBack();
         }},
        {"rewritten behind its compare", "a.dll", Event::Read, 2,
         [](const Context& c) {
             Context::Later();
             (void)!::pwrite(c.a, "X", 1, 0);
             c.PutTimeBack();
         }},
        {"rewritten after its compare", "b.dll", Event::Open, 1,
         [](const Context& c) {
             Context::Later();
             (void)!::pwrite(c.a, "X", 1, 0);
             c.PutTimeBack();
         }},
        {"cut short during its compare", "a.dll", Event::Read, 1,
         [](const Context& c) {
             (void)!::ftruncate(c.a, 10);
             c.PutTimeBack();
         }},
        {"a link to the same bytes put in its place", "a.dll", Event::Open, 1,
         [](const Context& c) {
             c.Swap([&](const char* at) { return ::symlink((c.outside + "/c.copy").c_str(), at); });
         }},
        {"a FIFO put in its place", "a.dll", Event::Open, 1,
         [](const Context& c) { c.Swap([](const char* at) { return ::mkfifo(at, 0644); }); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root);
        ASSERT_TRUE(Run().applied) << reason;
        const auto expected = tavlin_test::ReadTree(root);  // modes too
        Context context;
        context.root = root;
        context.outside = outside;
        struct stat st{};
        ASSERT_EQ(::stat((root + "/a.dll").c_str(), &st), 0);
        context.time = st.st_mtime;
        const platform::UniqueFd a(::open((root + "/a.dll").c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(a);
        context.a = a.get();
        {
            AccessHook hook;
            if (!hook.ok()) GTEST_SKIP() << hook.error();
            ASSERT_TRUE(hook.Watch(root + "/" + c.watched, c.event, c.nth, [&] { c.action(context); }));
            ASSERT_TRUE(Run().applied) << reason;
            EXPECT_EQ(hook.fired(), 1);
        }
        EXPECT_EQ(tavlin_test::ReadTree(root), expected);
        EXPECT_EQ(ReadFileText(outside + "/c.copy"), "sea");
    }
}

// Killed while it compares a file, a run leaves the installed files as they
// were, beside its staging; the next run removes that and applies the
// package.
TEST_F(Unpack, KilledDuringACompareTheNextRunAppliesThePackage) {
    using tavlin_test::AccessHook;
    const std::string body(100000, 's');
    {
        ZipBuilder z(zip);
        z.AddFile("changed.dll", "old").AddFile("same.dll", body).AddFile("later.dll", "old later");
        z.Close();
    }
    ASSERT_TRUE(Run().applied) << reason;
    const auto oldTree = Tree(root);
    {
        ZipBuilder z(zip);
        z.AddFile("changed.dll", "new").AddFile("same.dll", body).AddFile("later.dll", "new later");
        z.Close();
    }
    // The child is forked before the hook's thread exists, so that it starts
    // as a copy of a process with one thread; it waits for the hook to watch
    // before it runs.
    int go[2];
    ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(go[1]);
        char c = 0;
        if (::read(go[0], &c, 1) != 1) ::_exit(3);
        ::_exit(UnpackArchive(zip, root).applied ? 0 : 1);
    }
    ::close(go[0]);
    const platform::UniqueFd goWrite(go[1]);
    {
        AccessHook hook;
        if (!hook.ok()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            GTEST_SKIP() << hook.error();
        }
        const bool watching = hook.Watch(root + "/same.dll", AccessHook::Event::Read, 1, [pid] { ::kill(pid, SIGKILL); });
        if (!watching) ::kill(pid, SIGKILL);
        ASSERT_TRUE(watching);
        ASSERT_EQ(::write(goWrite.get(), "g", 1), 1);
        // Bounded, so that a run that never reaches its compare fails the
        // test instead of holding it.
        int status = 0;
        pid_t done = 0;
        for (int i = 0; i < 6000 && done == 0; ++i) {
            done = ::waitpid(pid, &status, WNOHANG);
            if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (done == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            FAIL() << "the run never reached its compare within 60 s";
        }
        ASSERT_EQ(done, pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the run was not held at its compare";
        EXPECT_EQ(hook.fired(), 1);
    }
    auto installed = Tree(root);
    EXPECT_EQ(installed.erase(".tavlin-journal"), 1u);
    std::erase_if(installed, [](const auto& e) { return e.first.find(".tavlin-") != std::string::npos; });
    EXPECT_EQ(installed, oldTree);

    const auto result = Run();
    ASSERT_TRUE(result.applied) << reason;
    EXPECT_TRUE(result.recovered.found);
    EXPECT_FALSE(result.recovered.rolledForward);
    EXPECT_EQ(result.unchanged, 1u);
    EXPECT_EQ(Tree(root), (std::map<std::string, std::string>{
                              {"changed.dll", "file:new"}, {"later.dll", "file:new later"}, {"same.dll", "file:" + body}}));
}

}  // namespace
