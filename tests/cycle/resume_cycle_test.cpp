// Closing the progress window during a slow download ends the updater at
// once and keeps the engine's temporary file; the next run asks the server
// only for what the file does not hold yet, and so does the run after an
// offline start. A package replaced on the server between two runs is
// fetched anew, whole.
#include <algorithm>
#include <atomic>
#include <cstdint>

#include "cycle_fixture.h"
#include "fault_server.h"
#include "zip_builder.h"

namespace cycle_test {
namespace {

using download_test::FaultServer;
using download_test::HttpReply;
using download_test::HttpRequest;

// Body bytes each segment request gets before a slow server goes silent.
constexpr long kSlowBytes = 96 * 1024;
constexpr size_t kPackageBytes = 12u * 1048576;
// The progress window's close button (Chinese layout), in client pixels.
constexpr int kCloseButtonX = 56;
constexpr int kCloseButtonY = 44;

class ResumeCycleTest : public CycleTest {};

TEST_F(ResumeCycleTest, ClosedDuringDownloadResumesFromTheTemporaryFile) {
    const std::string package = Www("update.zip");
    const std::string data = WriteStoredPackage(package, kPackageBytes, 1);
    const std::string md5 = Md5Hex(package);
    std::atomic<bool> slow{true};
    FaultServer server([&](const HttpRequest& r) {
        HttpReply reply = download_test::ServeFile(r, data);
        if (slow && IsTransfer(r)) reply.stallAfter = kSlowBytes;
        return reply;
    });
    const std::vector<std::string> args = {"-url=" + server.Url("/update.zip"), "-md5=" + md5, "-newver=2.0"};

    ChildProcess first = StartUpdater(args);
    const std::string window = WaitForClass(kProgressClass);
    ASSERT_FALSE(window.empty()) << "no progress window; " << first.Stderr();
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return DoneBytes(ReadSegments(Work("update.zip.dltmp"))) >= kSlowBytes; },
                                       kProcessTimeoutMs))
        << "nothing was written to the temporary file";
    KeepShot(Capture(window), "slow-download");

    ASSERT_TRUE(Click(window, kCloseButtonX, kCloseButtonY));
    // Bounded only so that a hang fails the test: "at once" is the
    // benchmark's business, not this test's.
    ASSERT_TRUE(first.Wait(15000)) << "closing the window did not end the updater";
    EXPECT_EQ(first.exitCode(), 0) << first.Stderr();
    EXPECT_FALSE(tavlin_test::FileExists(Work("update.zip")));
    const std::vector<Segment> kept = ReadSegments(Work("update.zip.dltmp"));
    ASSERT_FALSE(kept.empty()) << "the temporary file was not kept";
    ASSERT_GT(kept.size(), 1u) << "a package this size is fetched in segments";
    EXPECT_TRUE(Registrations().empty());

    const size_t mark = server.Requests().size();
    slow = false;
    ChildProcess second = StartUpdater(args);
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return Registrations().size() == 1; }, kProcessTimeoutMs))
        << second.Stderr();
    EXPECT_EQ(Md5Hex(Work("update.zip")), md5);
    EXPECT_FALSE(tavlin_test::FileExists(Work("update.zip.dltmp")));

    // Exactly the missing part of every unfinished segment, and nothing of
    // a finished one.
    std::vector<std::string> expected, asked;
    for (const auto& s : kept)
        if (s.done < s.length)
            expected.push_back("bytes=" + std::to_string(s.start + s.done) + "-" +
                               std::to_string(s.start + s.length - 1));
    const auto requests = server.Requests();
    for (size_t i = mark; i < requests.size(); ++i)
        if (IsTransfer(requests[i])) asked.push_back(requests[i].range);
    std::sort(expected.begin(), expected.end());
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, expected);
    EXPECT_NE(UpdaterLog().find("根据上次的临时文件，进行断点续传"), std::string::npos);

    const std::string secondWindow = WaitForClass(kProgressClass);
    ASSERT_FALSE(secondWindow.empty());
    ASSERT_TRUE(PressKey(secondWindow, "Escape"));
    ASSERT_TRUE(second.Wait(kProcessTimeoutMs));
    EXPECT_EQ(second.exitCode(), 0) << second.Stderr();
}

}  // namespace

namespace {

// The package on the server is replaced between a kill -9 of the updater
// and its next run, by one of the same length or of another: the next run
// fetches the new package whole, once, and it verifies; no byte of the old
// one survives into it.
struct Replacement {
    const char* name;
    size_t newSize;
};

const Replacement kReplacements[] = {
    {"SameLength", kPackageBytes},
    {"OtherLength", kPackageBytes + 1048576 + 3},
};

class ReplacedPackageCycleTest : public CycleTest, public ::testing::WithParamInterface<Replacement> {};

TEST_P(ReplacedPackageCycleTest, NextRunFetchesTheNewPackageWholeOnce) {
    download_test::FileVersion versions[2];
    versions[0] = {WriteStoredPackage(Www("old.zip"), kPackageBytes, 1), "\"old-1\"",
                   "Mon, 03 Mar 2025 09:00:00 GMT"};
    versions[1] = {WriteStoredPackage(Www("new.zip"), GetParam().newSize, 2), "\"new-2\"",
                   "Tue, 04 Mar 2025 09:00:00 GMT"};
    if (GetParam().newSize == kPackageBytes) {
        ASSERT_EQ(versions[0].body.size(), versions[1].body.size());
    }
    const std::string newMd5 = Md5Hex(Www("new.zip"));
    std::atomic<int> current{0};
    std::atomic<bool> slow{true};
    FaultServer server([&](const HttpRequest& r) {
        HttpReply reply = download_test::ServeVersion(r, versions[current]);
        if (slow && IsTransfer(r)) reply.stallAfter = kSlowBytes;
        return reply;
    });
    const std::string url = "-url=" + server.Url("/update.zip");

    ChildProcess first = StartUpdater({url, "-md5=" + Md5Hex(Www("old.zip")), "-newver=2.0"});
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return DoneBytes(ReadSegments(Work("update.zip.dltmp"))) >= kSlowBytes; },
                                       kProcessTimeoutMs))
        << "nothing was written to the temporary file; " << first.Stderr();
    first.Kill();
    ASSERT_TRUE(first.Wait(kProcessTimeoutMs));
    const std::vector<Segment> kept = ReadSegments(Work("update.zip.dltmp"));
    ASSERT_GT(kept.size(), 1u);

    current = 1;
    slow = false;
    const size_t mark = server.Requests().size();
    ChildProcess second = StartUpdater({url, "-md5=" + newMd5, "-newver=2.1"});
    const bool verified = tavlin_test::WaitUntil(
        [&] { return Registrations().size() == 1 || !WindowsOfClass(kPromptClass).empty(); }, kProcessTimeoutMs);
    ASSERT_TRUE(verified) << "the second run neither finished nor failed; " << second.Stderr();
    ASSERT_EQ(Registrations().size(), 1u) << "the second run failed: a package of two versions?";
    EXPECT_EQ(Md5Hex(Work("update.zip")), newMd5);

    // The bytes the new version was asked for: every transfer the server
    // answered from it (no If-Range, or the new validator). Together they
    // cover the package exactly once.
    std::vector<std::pair<uint64_t, uint64_t>> parts;
    size_t oldVersionAsks = 0;
    const auto requests = server.Requests();
    for (size_t i = mark; i < requests.size(); ++i) {
        const std::string ifRange = requests[i].Header("if-range");
        if (!ifRange.empty() && ifRange != versions[1].etag && ifRange != versions[1].lastModified) {
            ++oldVersionAsks;
            continue;
        }
        uint64_t firstByte = 0, lastByte = 0;
        if (IsTransfer(requests[i]) &&
            download_test::AskedRange(requests[i], versions[1].body.size(), &firstByte, &lastByte))
            parts.emplace_back(firstByte, lastByte);
    }
    std::sort(parts.begin(), parts.end());
    uint64_t next = 0;
    for (const auto& [from, to] : parts) {
        EXPECT_EQ(from, next) << "a gap or a part fetched twice";
        next = to + 1;
    }
    EXPECT_EQ(next, versions[1].body.size());
    EXPECT_LE(oldVersionAsks, kept.size()) << "the old version was asked for after the change was seen";

    const std::string window = WaitForClass(kProgressClass);
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(PressKey(window, "Escape"));
    ASSERT_TRUE(second.Wait(kProcessTimeoutMs));
    EXPECT_EQ(second.exitCode(), 0) << second.Stderr();
}

INSTANTIATE_TEST_SUITE_P(Package, ReplacedPackageCycleTest, ::testing::ValuesIn(kReplacements),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
namespace {

// The updater started with no network at all (a network namespace of its
// own, loopback down) while its temporary file holds 90 % of the package:
// the network prompt, and the file stays exactly as it was; the next run
// online asks only for the missing tenth and the package verifies.
class OfflineCycleTest : public CycleTest {};

TEST_F(OfflineCycleTest, OfflineStartKeepsTheTemporaryFileAndTheNextRunFetchesOnlyWhatIsMissing) {
    const std::string unshare = tavlin_test::FindProgram("unshare");
    if (unshare.empty() ||
        tavlin_test::Run({unshare, "-n", "true"}, tavlin_test::Environment::Inherit(), 10000).exitCode != 0)
        GTEST_SKIP() << "this machine cannot make network namespaces (unshare -n failed)";
    const std::string data = WriteStoredPackage(Www("update.zip"), kPackageBytes, 1);
    const std::string md5 = Md5Hex(Www("update.zip"));
    std::atomic<bool> firstRun{true};
    FaultServer server([&](const HttpRequest& r) {
        HttpReply reply = download_test::ServeVersion(r, data, "\"v1\"", "");
        // Nine tenths of every segment, then silence.
        if (firstRun && IsTransfer(r)) reply.stallAfter = static_cast<long>(reply.body.size() * 9 / 10);
        return reply;
    });
    const std::vector<std::string> args = {"-url=" + server.Url("/update.zip"), "-md5=" + md5, "-newver=2.0"};
    const std::string tmp = Work("update.zip.dltmp");

    {
        ChildProcess updater = StartUpdater(args);
        const std::string window = WaitForClass(kProgressClass);
        ASSERT_FALSE(window.empty()) << updater.Stderr();
        ASSERT_TRUE(tavlin_test::WaitUntil([&] { return DoneBytes(ReadSegments(tmp)) >= kPackageBytes * 9 / 10 - 16; },
                                           kProcessTimeoutMs))
            << "the first run did not reach 90 %";
        ASSERT_TRUE(PressKey(window, "Escape"));
        ASSERT_TRUE(updater.Wait(kProcessTimeoutMs));
    }
    const std::string kept = tavlin_test::ReadFileText(tmp);
    const std::vector<Segment> segments = ReadSegments(tmp);
    ASSERT_GT(segments.size(), 1u);
    ASSERT_LT(DoneBytes(segments), kPackageBytes);

    {
        const size_t before = server.Requests().size();
        std::vector<std::string> offline = {unshare, "-n", Work("Updater.exe")};
        offline.insert(offline.end(), args.begin(), args.end());
        tavlin_test::SpawnOptions options;
        options.argv = offline;
        options.env = env_;
        options.cwd = user_.home;
        ChildProcess updater;
        ASSERT_TRUE(updater.Start(options)) << updater.error();
        const std::string prompt = WaitForClass(kPromptClass);
        ASSERT_FALSE(prompt.empty()) << "no network prompt; " << updater.Stderr();
        ASSERT_TRUE(PressKey(prompt, "Escape"));
        ASSERT_TRUE(updater.Wait(kProcessTimeoutMs));
        EXPECT_EQ(updater.exitCode(), 0) << updater.Stderr();
        EXPECT_EQ(server.Requests().size(), before) << "the offline run reached the server";
        EXPECT_TRUE(tavlin_test::ReadFileText(tmp) == kept) << "the temporary file changed while offline";
    }

    firstRun = false;
    const size_t mark = server.Requests().size();
    ChildProcess online = StartUpdater(args);
    ASSERT_TRUE(tavlin_test::WaitUntil([&] { return Registrations().size() == 1; }, kProcessTimeoutMs))
        << online.Stderr();
    EXPECT_EQ(Md5Hex(Work("update.zip")), md5);
    std::vector<std::string> expected, asked;
    for (const auto& s : segments)
        if (s.done < s.length)
            expected.push_back("bytes=" + std::to_string(s.start + s.done) + "-" +
                               std::to_string(s.start + s.length - 1));
    const auto requests = server.Requests();
    for (size_t i = mark; i < requests.size(); ++i)
        if (IsTransfer(requests[i])) asked.push_back(requests[i].range);
    std::sort(expected.begin(), expected.end());
    std::sort(asked.begin(), asked.end());
    EXPECT_EQ(asked, expected);

    const std::string window = WaitForClass(kProgressClass);
    ASSERT_FALSE(window.empty());
    ASSERT_TRUE(PressKey(window, "Escape"));
    ASSERT_TRUE(online.Wait(kProcessTimeoutMs));
}

}  // namespace
}  // namespace cycle_test
