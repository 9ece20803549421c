// Closing the progress window during a slow download ends the updater at
// once and keeps the engine's temporary file; the next run asks the server
// only for what the file does not hold yet.
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

struct Segment {
    uint32_t start, length, done;
};

uint32_t Le32(const std::string& data, size_t at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<unsigned char>(data[at + i])) << (8 * i);
    return value;
}

// The segment records of a temporary file: the data, then 12 bytes
// (start, length, done) per segment, then the data length. Empty when the
// file is missing or its trailer does not add up.
std::vector<Segment> ReadSegments(const std::string& path) {
    const std::string file = tavlin_test::ReadFileText(path);
    if (file.size() < 4) return {};
    const uint64_t dataLength = Le32(file, file.size() - 4);
    if (dataLength + 4 > file.size() || (file.size() - 4 - dataLength) % 12 != 0) return {};
    std::vector<Segment> segments;
    for (size_t at = dataLength; at + 4 < file.size(); at += 12)
        segments.push_back({Le32(file, at), Le32(file, at + 4), Le32(file, at + 8)});
    return segments;
}

uint64_t DoneBytes(const std::vector<Segment>& segments) {
    uint64_t done = 0;
    for (const auto& s : segments) done += s.done;
    return done;
}

bool IsSegmentRequest(const HttpRequest& r) { return r.method == "GET" && !r.range.empty() && r.range != "bytes=1-1024"; }

class ResumeCycleTest : public CycleTest {};

TEST_F(ResumeCycleTest, ClosedDuringDownloadResumesFromTheTemporaryFile) {
    const std::string package = Www("update.zip");
    {
        tavlin_test::ZipEntry big;
        big.name = "lessons.dat";
        big.data = download_test::Pattern(kPackageBytes);
        big.deflate = false;
        tavlin_test::WriteZip(package, {big});
    }
    const std::string data = tavlin_test::ReadFileText(package);
    const std::string md5 = Md5Hex(package);
    std::atomic<bool> slow{true};
    FaultServer server([&](const HttpRequest& r) {
        HttpReply reply = download_test::ServeFile(r, data);
        if (slow && IsSegmentRequest(r)) reply.stallAfter = kSlowBytes;
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
        if (IsSegmentRequest(requests[i])) asked.push_back(requests[i].range);
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
}  // namespace cycle_test
