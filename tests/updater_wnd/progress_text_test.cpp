// The progress window's pure text rules: release-note lines, the version
// label, the per-tick numbers, speeds and the cut to a unit limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProgressText.h"
#include "platform/text.h"

namespace {

using zeb_ui::ComputeTick;
using zeb_ui::SplitReleaseNotes;

std::string Utf8(const std::u16string& s) { return platform::Utf16ToUtf8(s); }

TEST(ReleaseNotes, SplitAtEveryStar) {
    struct Case {
        const char* prompt;
        std::vector<std::u16string> lines;
    };
    const Case cases[] = {
        {"", {}},
        {"one", {u"one"}},
        {"one*two", {u"one", u"two"}},
        {"one*two*", {u"one", u"two"}},           // a final separator adds no line
        {"one**two", {u"one", u"", u"two"}},      // adjacent separators keep the empty line
        {"*one", {u"", u"one"}},                  // a leading separator gives an empty first line
        {"*", {u""}},
        {"**", {u"", u""}},
        {"one**", {u"one", u""}},
        {"修复了问题*新增功能", {u"修复了问题", u"新增功能"}},
    };
    for (const Case& c : cases) EXPECT_EQ(SplitReleaseNotes(c.prompt), c.lines) << c.prompt;
}

TEST(ReleaseNotes, LongLineIsCutAt260Units) {
    const auto lines = SplitReleaseNotes(std::string(300, 'x') + "*short");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::u16string(260, u'x'));
    EXPECT_EQ(lines[1], u"short");
}

TEST(VersionLabel, NewVersionOrTheBuiltInOne) {
    EXPECT_EQ(Utf8(zeb_ui::VersionLabelText("9.0.1", "8.6.6")), "最新版本：9.0.1");
    EXPECT_EQ(Utf8(zeb_ui::VersionLabelText("", "8.6.6")), "当前版本：8.6.6");
    // The version itself is cut to 100 units before it is placed.
    EXPECT_EQ(zeb_ui::VersionLabelText(std::string(150, '9'), "8.6.6"), u"最新版本：" + std::u16string(100, u'9'));
}

TEST(TruncateUnits, NeverSplitsASurrogatePair) {
    const std::u16string face = u"ab\U0001F600";  // a, b, then a pair
    EXPECT_EQ(zeb_ui::TruncateUnits(face, 4), face);
    EXPECT_EQ(zeb_ui::TruncateUnits(face, 3), u"ab");
    EXPECT_EQ(zeb_ui::TruncateUnits(face, 2), u"ab");
    EXPECT_EQ(zeb_ui::TruncateUnits(face, 0), u"");
}

TEST(Tick, PercentageAndSpeed) {
    struct Case {
        int64_t downloaded, total;
        uint32_t last;
        int percent;
        uint32_t speed;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0},                              // size not known yet
        {500, 0, 0, 0, 500},                          // no total: 0 %, the speed still counts
        {57, 100, 0, 57, 57},
        {199, 200, 99, 99, 100},                      // truncated
        {100, 100, 100, 100, 0},
        {150, 100, 0, 150, 150},                      // more than the total: capped by the window
        {3000000000LL, 4000000000LL, 2999000000u, 75, 1000000},  // beyond 32-bit products
        {0, 1000, 600, 0, 0},                         // the count fell (digest mismatch): no speed
        {100, 1000, 600, 10, 0},
    };
    for (const Case& c : cases) {
        const auto tick = ComputeTick(c.downloaded, c.total, c.last);
        EXPECT_EQ(tick.percent, c.percent) << c.downloaded << "/" << c.total;
        EXPECT_EQ(tick.speed, c.speed) << c.downloaded << " after " << c.last;
    }
}

TEST(Speed, UnitsAtTheirBoundaries) {
    struct Case {
        uint32_t speed;
        const char* text;
    };
    const Case cases[] = {
        {0, "0 B/s"},          {1023, "1023 B/s"},      {1024, "1 KB/s"},   {2047, "1 KB/s"},
        {1048576, "1024 KB/s"}, {1048577, "1 MB/s"},    {5 * 1048576 - 1, "4 MB/s"},
        {4294967295u, "4095 MB/s"},
    };
    for (const Case& c : cases) EXPECT_EQ(Utf8(zeb_ui::SpeedText(c.speed)), c.text) << c.speed;
}

}  // namespace
