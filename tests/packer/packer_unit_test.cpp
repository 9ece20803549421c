// The packer's pieces on their own: entry fields, piecewise deflate, the
// rules a tree must meet, the delta plan, and the command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unzip.h>
#include <zip.h>
#include <zlib.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "pack_tree.h"
#include "packer/ChunkDeflater.h"
#include "packer/ChunkPipeline.h"
#include "packer/DeltaPlan.h"
#include "packer/PackCommand.h"
#include "packer/PackageWriter.h"
#include "packer/TreeScan.h"
#include "packer/UnixHost.h"
#include "packer/ZipEntryMeta.h"
#include "platform/unique_fd.h"
#include "temp_dir.h"
#include "unpack/EntryMeta.h"

namespace packer_test {
namespace {

using namespace tavlin::packer;

TreeEntry File(const std::string& path, mode_t mode = 0644, int64_t mtime = 1700000000) {
    TreeEntry e;
    e.path = path;
    e.mode = mode;
    e.mtime = mtime;
    return e;
}

TreeEntry Link(const std::string& path, const std::string& target) {
    TreeEntry e = File(path, 0777);
    e.kind = EntryKind::Link;
    e.linkTarget = target;
    return e;
}

TreeEntry Folder(const std::string& path) {
    TreeEntry e = File(path, 0755);
    e.kind = EntryKind::Folder;
    return e;
}

// What the launcher's reader makes of the fields the packer writes.
TEST(ZipEntryMetaTest, TheExtractorReadsBackTypeModeAndTime) {
    struct Case {
        TreeEntry entry;
        bool directory, symlink;
        mode_t mode;
    } cases[] = {
        {File("a", 0755), false, false, 0755},
        {File("b", 0444), false, false, 0444},
        {File("c", 0600), false, false, 0600},
        {Folder("d"), true, false, 0755},
        {Link("e", "a"), false, true, 0777},
    };
    for (const Case& c : cases) {
        const auto a = tavlin::unpack::AttributesFromZip(VersionMadeBy(false), ExternalAttributes(c.entry));
        EXPECT_EQ(a.directory, c.directory) << c.entry.path;
        EXPECT_EQ(a.symlink, c.symlink) << c.entry.path;
        EXPECT_TRUE(a.unixMode) << c.entry.path;
        EXPECT_EQ(a.mode, c.mode) << c.entry.path;
        EXPECT_EQ(a.readOnly, !(c.mode & 0200)) << c.entry.path;
    }
    for (const int64_t mtime : {int64_t{0}, int64_t{1700000000}, int64_t{0xFFFFFFFF}}) {
        const std::string extra = ExtendedTimeField(static_cast<uint32_t>(mtime));
        const auto times = tavlin::unpack::TimesFromZip(DosDateTime(mtime),
                                                         reinterpret_cast<const unsigned char*>(extra.data()),
                                                         extra.size());
        EXPECT_EQ(times.modification, mtime);
    }
}

TEST(ZipEntryMetaTest, DosTimeIsUtcWhateverTheZoneAndHeldToItsRange) {
    const char* before = std::getenv("TZ");
    const std::string saved = before ? before : "";
    ::setenv("TZ", "Asia/Tokyo", 1);
    ::tzset();
    // 2020-01-02 03:04:06 UTC
    const uint32_t tokyo = DosDateTime(1577934246);
    ::setenv("TZ", "America/Los_Angeles", 1);
    ::tzset();
    const uint32_t losAngeles = DosDateTime(1577934246);
    if (before) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
    ::tzset();
    const uint32_t expected = (40u << 25) | (1u << 21) | (2u << 16) | (3u << 11) | (4u << 5) | 3u;
    EXPECT_EQ(tokyo, expected);
    EXPECT_EQ(losAngeles, expected);
    EXPECT_EQ(DosDateTime(0), (1u << 21) | (1u << 16)) << "before 1980: 1980-01-01";
    EXPECT_EQ(DosDateTime(int64_t{1} << 40), DosDateTime(4354819198ll)) << "after 2107: its last second";
}

TEST(ZipEntryMetaTest, OnlyNamesBeyondAsciiAreMarkedUtf8) {
    EXPECT_EQ(NameFlags("bin/tool.sh"), 0);
    EXPECT_EQ(NameFlags("课程/说明.txt"), 0x0800);
}

// The pieces of one file, compressed apart on any thread, joined, inflate
// to the file; the joined stream ends where the data ends.
TEST(ChunkDeflaterTest, PiecesJoinIntoOneStreamOfTheWholeData) {
    const std::string data = Text(300'000, 7) + Noise(200'000, 8) + Text(123'457, 9);
    for (const std::size_t piece : {std::size_t{65536}, std::size_t{100'000}, data.size()}) {
        ChunkDeflater deflater;
        std::string joined;
        for (std::size_t at = 0; at < data.size(); at += piece) {
            const std::size_t dict = std::min(at, kDeflateWindow);
            std::string out;
            ASSERT_TRUE(deflater.Compress(std::string_view(data).substr(at - dict, dict),
                                          std::string_view(data).substr(at, piece), at + piece >= data.size(), out));
            joined += out;
        }
        EXPECT_LT(joined.size(), data.size() * 3 / 4) << "piece " << piece;
        z_stream in{};
        ASSERT_EQ(inflateInit2(&in, -MAX_WBITS), Z_OK);
        std::string back(data.size() + 1, '\0');
        in.next_in = reinterpret_cast<Bytef*>(joined.data());
        in.avail_in = static_cast<uInt>(joined.size());
        in.next_out = reinterpret_cast<Bytef*>(back.data());
        in.avail_out = static_cast<uInt>(back.size());
        EXPECT_EQ(inflate(&in, Z_FINISH), Z_STREAM_END) << "piece " << piece;
        EXPECT_EQ(in.avail_in, 0u) << "piece " << piece;
        back.resize(in.total_out);
        inflateEnd(&in);
        EXPECT_TRUE(back == data) << "piece " << piece;
    }
}

// A file that does not need Zip64 fields by its size must not need them by
// its deflated size either: minizip cannot add them once the data is written.
TEST(ZipEntryMetaTest, Zip64IsChosenForEveryFileWhoseDeflatedDataMayPass4GiB) {
    const std::string noise = Noise(kChunkSize + kDeflateWindow, 21);
    ChunkDeflater deflater;
    std::string out;
    ASSERT_TRUE(deflater.Compress(std::string_view(noise).substr(0, kDeflateWindow),
                                  std::string_view(noise).substr(kDeflateWindow), false, out));
    ASSERT_GT(out.size(), kChunkSize) << "noise must not shrink";
    const uint64_t growth = out.size() - kChunkSize;
    uint64_t low = 0, high = 0xFFFFFFFFull;  // the largest size without Zip64
    while (low < high) {
        const uint64_t mid = low + (high - low + 1) / 2;
        if (NeedsZip64(mid)) high = mid - 1;
        else low = mid;
    }
    const uint64_t pieces = (low + kChunkSize - 1) / kChunkSize;
    EXPECT_LT(low + pieces * growth + 64, 0xFFFFFFFFull) << "largest size without Zip64: " << low;
    EXPECT_FALSE(NeedsZip64(0xF0000000ull));
    EXPECT_TRUE(NeedsZip64(0xFFFFFFFFull));
    EXPECT_TRUE(NeedsZip64(uint64_t{5} << 30));
}

// An archive whose central records say MS-DOS where minizip wrote them for
// Zip64 entries (the records of a package past 4 GiB) gets the Unix host
// back, so the launcher reads the modes: the link stays a link.
TEST(UnixHostTest, CentralRecordsWrittenAsMsDosGetTheUnixHostBack) {
    tavlin_test::TempDir dir("tavlin-unixhost-");
    const std::string zipPath = dir / "p.zip";
    const TreeEntry entries[] = {File("a.sh", 0755), Link("b", "a.sh"), File("c.txt", 0600)};
    const uint16_t madeBy[] = {VersionMadeBy(false), 45, 45};  // 45: minizip's own for Zip64
    zipFile zf = zipOpen64(zipPath.c_str(), APPEND_STATUS_CREATE);
    ASSERT_TRUE(zf);
    for (std::size_t i = 0; i < std::size(entries); ++i) {
        zip_fileinfo info{};
        info.external_fa = ExternalAttributes(entries[i]);
        const std::string data = entries[i].kind == EntryKind::Link ? entries[i].linkTarget : "data";
        ASSERT_EQ(zipOpenNewFileInZip4_64(zf, entries[i].path.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, 0, 0, 0,
                                          -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0, madeBy[i], 0, 0),
                  ZIP_OK);
        ASSERT_EQ(zipWriteInFileInZip(zf, data.data(), static_cast<unsigned>(data.size())), ZIP_OK);
        ASSERT_EQ(zipCloseFileInZip(zf), ZIP_OK);
    }
    ASSERT_EQ(zipClose(zf, nullptr), ZIP_OK);

    std::string error;
    std::size_t mended = 0;
    ASSERT_TRUE(RestoreUnixHost(zipPath, mended, error)) << error;
    EXPECT_EQ(mended, 2u);
    unzFile uf = unzOpen64(zipPath.c_str());
    ASSERT_TRUE(uf);
    std::size_t i = 0;
    for (int rc = unzGoToFirstFile(uf); rc == UNZ_OK && i < std::size(entries); rc = unzGoToNextFile(uf), ++i) {
        unz_file_info64 info{};
        ASSERT_EQ(unzGetCurrentFileInfo64(uf, &info, nullptr, 0, nullptr, 0, nullptr, 0), UNZ_OK);
        EXPECT_EQ(info.version, i == 0 ? VersionMadeBy(false) : VersionMadeBy(true)) << entries[i].path;
        const auto a = tavlin::unpack::AttributesFromZip(static_cast<uint16_t>(info.version),
                                                          static_cast<uint32_t>(info.external_fa));
        EXPECT_TRUE(a.unixMode) << entries[i].path;
        EXPECT_EQ(a.symlink, entries[i].kind == EntryKind::Link) << entries[i].path;
        if (entries[i].kind == EntryKind::File) {
            EXPECT_EQ(a.mode, entries[i].mode) << entries[i].path;
        }
        // The data is untouched: the mended archive reads back whole.
        ASSERT_EQ(unzOpenCurrentFile(uf), UNZ_OK);
        char buffer[16];
        EXPECT_GT(unzReadCurrentFile(uf, buffer, sizeof buffer), 0);
        EXPECT_EQ(unzCloseCurrentFile(uf), UNZ_OK) << entries[i].path;
    }
    EXPECT_EQ(i, std::size(entries));
    unzClose(uf);
}

// A file written to after the scan keeps its size but not its change time:
// it is refused rather than packed as pieces of two versions.
TEST(PackageWriterTest, AFileWrittenToAfterItsScanIsRefused) {
    tavlin_test::TempDir dir("tavlin-changed-");
    const std::string tree = dir / "tree";
    PutFile(tree, "a.txt", "stays");
    PutFile(tree, "big.dat", Text(3 * kChunkSize, 3));
    std::vector<TreeEntry> entries;
    std::vector<std::string> problems;
    ASSERT_TRUE(ScanTree(tree, entries, problems));
    ASSERT_EQ(entries.size(), 2u);
    const platform::UniqueFd root(::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string error;
    ASSERT_TRUE(WritePackage(root.get(), entries, dir / "before.zip", 2, error)) << error;

    // Written in place until the change time moves on: the clock behind it
    // ticks in milliseconds.
    struct stat st{};
    for (int i = 0; i < 1000 && (st.st_size == 0 || ChangeTimeNs(st) == entries[1].changeTimeNs); ++i) {
        std::fstream(tree + "/big.dat", std::ios::in | std::ios::out | std::ios::binary).seekp(kChunkSize) << "NEW";
        ASSERT_EQ(::stat((tree + "/big.dat").c_str(), &st), 0);
        if (ChangeTimeNs(st) == entries[1].changeTimeNs) ::usleep(1000);
    }
    ASSERT_NE(ChangeTimeNs(st), entries[1].changeTimeNs);
    ASSERT_EQ(static_cast<uint64_t>(st.st_size), entries[1].size);
    EXPECT_FALSE(WritePackage(root.get(), entries, dir / "after.zip", 2, error));
    EXPECT_NE(error.find("\"big.dat\" changed while the package was made"), std::string::npos) << error;
}

TEST(InstallProblemsTest, RefusesWhatAnInstallationWouldNotReproduce) {
    struct Case {
        TreeEntry entry;
        const char* problem;  // a part of the message; nullptr: accepted
    } cases[] = {
        {File("bin/tool.sh", 0755), nullptr},
        {File("a/b..c/d"), nullptr},
        {File("课程/说明.txt"), nullptr},
        {Link("bin/current", "../version.txt"), nullptr},
        {Link("lessons", "data/./x"), nullptr},
        {Link("bin/up", "../../etc/passwd"), "leads outside the tree"},
        {Link("bin/abs", "/etc/passwd"), "leads outside the tree"},
        {Link("bin/climb", "x/../../y"), "leads outside the tree"},
        {File("a\\b.txt"), "folder separator"},
        {File("C:evil.txt"), "would not write this name"},
        {File("bad\xff.txt"), "not valid UTF-8"},
        {File(".tavlin-journal"), "reserved for the installation's journal"},
        {File("bin/.tool.tavlin-Ab12Cd"), "the form the launcher gives files it is installing"},
        {File("suid", 04755), "setuid"},
        {File("sticky", 01644), "sticky"},
        {File("nobits", 0), "no permission bits"},
        {File("tavlin.exe", 0644), "must be executable"},
        {Link("TavlinLaunch.exe", "tavlin.exe"), "must be a regular file"},
        {File("future", 0644, int64_t{1} << 33), "outside 1970 to 2106"},
        {File("past", 0644, -1), "outside 1970 to 2106"},
        // What the launcher and the updater keep for themselves.
        {File("update.zip"), "use this name for their own files"},
        {Folder("update.zip"), "use this name for their own files"},
        {File("temp/update.zip"), "use this name for their own files"},
        {File("temp/update.zip.dltmp"), "use this name for their own files"},
        {File("temp/Updater.exe", 0755), "use this name for their own files"},
        {File("temp/update.td0"), "use this name for their own files"},
        {File("temp/update.td"), "use this name for their own files"},
        {File("temp"), "must be a folder"},
        {Link("temp", "bin"), "must be a folder"},
        {Folder("temp"), nullptr},
        {File("temp/InstallZebApp.dll", 0755), nullptr},
        {File("lessons/update.zip"), nullptr},
        {File("temp/update.td4"), nullptr},
        {[] { TreeEntry e = File("huge.bin"); e.size = 0xFFFFFFFEull; return e; }(), nullptr},
        {[] { TreeEntry e = File("huger.bin"); e.size = 0xFFFFFFFFull; return e; }(), "4 GiB or more"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> problems = InstallProblems({c.entry});
        if (!c.problem) {
            EXPECT_TRUE(problems.empty()) << c.entry.path << ": " << (problems.empty() ? "" : problems[0]);
            continue;
        }
        ASSERT_EQ(problems.size(), 1u) << c.entry.path;
        EXPECT_NE(problems[0].find(c.problem), std::string::npos) << problems[0];
    }
}

// Two trees on disk: the old one, and the new one made from it.
class DeltaPlanTest : public ::testing::Test {
protected:
    void SetUp() override {
        PutFile(old_.path(), "same.txt", "same");
        PutFile(old_.path(), "content.txt", "old!");
        PutFile(old_.path(), "mode.sh", "#!/bin/sh\n", 0644);
        PutFile(old_.path(), "grown.txt", "short");
        PutFile(old_.path(), "touched.txt", "kept", 0644, 1600000000);
        PutLink(old_.path(), "link", "same.txt");
        PutFile(old_.path(), "gone/a.txt", "a");
        PutFile(old_.path(), "gone/deeper/b.txt", "b");
        PutFile(old_.path(), "lone.txt", "x");
        PutFolder(old_.path(), "kept");

        PutFile(new_.path(), "same.txt", "same");
        PutFile(new_.path(), "content.txt", "new!");
        PutFile(new_.path(), "mode.sh", "#!/bin/sh\n", 0755);
        PutFile(new_.path(), "grown.txt", "longer");
        PutFile(new_.path(), "touched.txt", "kept", 0644, 1700000000);
        PutLink(new_.path(), "link", "content.txt");
        PutFile(new_.path(), "added/new.txt", "n");
        PutFolder(new_.path(), "added/empty");
        PutFolder(new_.path(), "kept");
    }

    Delta Plan() {
        std::vector<TreeEntry> newEntries, oldEntries;
        std::vector<std::string> problems;
        EXPECT_TRUE(ScanTree(new_.path(), newEntries, problems));
        EXPECT_TRUE(ScanTree(old_.path(), oldEntries, problems));
        return PlanDelta(new_.path(), newEntries, old_.path(), oldEntries);
    }

    static std::vector<std::string> Names(const Delta& d) {
        std::vector<std::string> names;
        for (const TreeEntry& e : d.entries) names.push_back(e.ZipName());
        return names;
    }

    tavlin_test::TempDir old_{"tavlin-pack-old-"};
    tavlin_test::TempDir new_{"tavlin-pack-new-"};
};

TEST_F(DeltaPlanTest, HoldsWhatIsNewOrDiffersAndListsWhatIsGone) {
    const Delta d = Plan();
    EXPECT_TRUE(d.problems.empty()) << d.problems[0];
    // A new mtime alone is no change; a new mode is.
    EXPECT_EQ(Names(d), (std::vector<std::string>{"added/", "added/empty/", "added/new.txt", "content.txt",
                                                  "grown.txt", "link", "mode.sh"}));
    EXPECT_EQ(d.onlyInOld, (std::vector<std::string>{"gone/", "lone.txt"}));
}

TEST_F(DeltaPlanTest, RefusesAFolderThatWouldHaveToBecomeAFileAndTheOtherWay) {
    ::rmdir((new_ / "kept").c_str());
    PutFile(new_.path(), "kept", "now a file");
    PutFile(new_.path(), "lone.txt/inside.txt", "");
    const Delta d = Plan();
    ASSERT_EQ(d.problems.size(), 2u);
    EXPECT_NE(d.problems[0].find("\"kept\": a folder in the old tree"), std::string::npos) << d.problems[0];
    EXPECT_NE(d.problems[1].find("\"lone.txt\": a folder in the new tree"), std::string::npos) << d.problems[1];
}

TEST(PackArgumentsTest, UsageErrorsAndAccepted) {
    struct Case {
        std::vector<std::string> args;
        const char* error;  // nullptr: accepted
    } cases[] = {
        {{"tree", "-o", "p.zip"}, nullptr},
        {{"-o", "p.zip", "--base=old", "tree", "--url", "http://h/p.zip", "--jobs", "3"}, nullptr},
        {{}, "the tree to pack is missing"},
        {{"tree"}, "the package to write is missing"},
        {{"tree", "other", "-o", "p.zip"}, "only one tree"},
        {{"tree", "-o"}, "-o needs a value"},
        {{"tree", "-o", "p.zip", "--sign="}, "--sign needs a value"},
        {{"tree", "-o", "p.zip", "--frobnicate"}, "unknown option --frobnicate"},
        {{"tree", "-o", "p.zip", "--jobs", "0"}, "--jobs takes a number"},
        {{"tree", "-o", "p.zip", "-j", "2x"}, "-j takes a number"},
        {{"tree", "-o", "p.zip", "--url", "http://h/a b.zip"}, "must not hold spaces"},
        {{"tree", "-o", "p.zip", "--url", "http://h/\"x"}, "double quotes"},
    };
    for (const Case& c : cases) {
        bool help = false;
        std::string error;
        const auto request = ParseArguments(c.args, help, error);
        EXPECT_FALSE(help);
        if (!c.error) {
            EXPECT_TRUE(request.has_value()) << error;
            continue;
        }
        EXPECT_FALSE(request.has_value()) << c.error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    bool help = false;
    std::string error;
    const auto request =
        ParseArguments({"-o", "p.zip", "--base=old", "tree", "--url", "http://h/p.zip", "-j", "3"}, help, error);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->newTree, "tree");
    EXPECT_EQ(request->output, "p.zip");
    EXPECT_EQ(request->baseTree, "old");
    EXPECT_EQ(request->url, "http://h/p.zip");
    EXPECT_EQ(request->threads, 3u);
}

}  // namespace
}  // namespace packer_test
