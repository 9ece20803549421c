#include "platform/text.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

using platform::Unmappable;
using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

struct RoundTrip {
    const char* label;
    std::u16string wide;
    std::string narrow;
};

void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.label; }

class TextRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(TextRoundTrip, ConvertsBothWays) {
    const RoundTrip& c = GetParam();
    bool ok = false;
    EXPECT_EQ(Utf16ToUtf8(c.wide, Unmappable::Fail, &ok), c.narrow);
    EXPECT_TRUE(ok);
    ok = false;
    EXPECT_EQ(Utf8ToUtf16(c.narrow, &ok), c.wide);
    EXPECT_TRUE(ok);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextRoundTrip,
    testing::Values(
        RoundTrip{"empty", u"", ""},
        RoundTrip{"ascii", u"tavlin://room?id=7\"", "tavlin://room?id=7\""},
        RoundTrip{"cjk", u"检测到程序正在运行，是否重新打开!", "检测到程序正在运行，是否重新打开!"},
        RoundTrip{"astral_pair", u"a\U0001F600b", "a\xF0\x9F\x98\x80" "b"},
        RoundTrip{"embedded_nul", std::u16string(u"a\0b\0", 4), std::string("a\0b\0", 4)},
        // A byte-order mark is an ordinary character here, never swallowed.
        RoundTrip{"leading_bom", u"\uFEFFx", "\xEF\xBB\xBFx"},
        RoundTrip{"last_bmp_and_max", u"\uFFFD\U0010FFFF", "\xEF\xBF\xBD\xF4\x8F\xBF\xBF"}),
    [](const testing::TestParamInfo<RoundTrip>& i) { return std::string(i.param.label); });

struct Unpaired {
    const char* label;
    std::u16string wide;
    std::string replaced;
};

void PrintTo(const Unpaired& c, std::ostream* os) { *os << c.label; }

class TextUnpaired : public testing::TestWithParam<Unpaired> {};

TEST_P(TextUnpaired, ReplaceGivesQuestionMarkFailGivesNothing) {
    const Unpaired& c = GetParam();
    bool ok = false;
    EXPECT_EQ(Utf16ToUtf8(c.wide, Unmappable::Replace, &ok), c.replaced);
    EXPECT_TRUE(ok);
    ok = true;
    EXPECT_EQ(Utf16ToUtf8(c.wide, Unmappable::Fail, &ok), "");
    EXPECT_FALSE(ok);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextUnpaired,
    testing::Values(
        Unpaired{"high_at_end", std::u16string(u"ab") + char16_t(0xD83D), "ab?"},
        Unpaired{"low_at_start", std::u16string(1, char16_t(0xDE00)) + u"中", "?中"},
        Unpaired{"high_then_letter", std::u16string(u"x") + char16_t(0xD800) + u"y", "x?y"},
        // A valid pair right after a lone high surrogate still converts.
        Unpaired{"high_then_pair", std::u16string(1, char16_t(0xD800)) + u"\U0001F600",
                 "?\xF0\x9F\x98\x80"},
        Unpaired{"two_lows", std::u16string{char16_t(0xDC00), char16_t(0xDC01)}, "??"},
        Unpaired{"around_nul", std::u16string{char16_t(0xD800), 0, char16_t(0xDFFF)},
                 std::string("?\0?", 3)}),
    [](const testing::TestParamInfo<Unpaired>& i) { return std::string(i.param.label); });

struct Invalid {
    const char* label;
    std::string narrow;
    std::u16string wide;
};

void PrintTo(const Invalid& c, std::ostream* os) { *os << c.label; }

class TextInvalidUtf8 : public testing::TestWithParam<Invalid> {};

TEST_P(TextInvalidUtf8, BrokenSequencesBecomeReplacementCharacters) {
    const Invalid& c = GetParam();
    bool ok = true;
    EXPECT_EQ(Utf8ToUtf16(c.narrow, &ok), c.wide);
    EXPECT_FALSE(ok);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextInvalidUtf8,
    testing::Values(
        Invalid{"lone_ff", "a\xFF" "b", u"a\uFFFDb"},
        Invalid{"truncated_at_end", "a\xE6\x9C", u"a\uFFFD"},
        Invalid{"truncated_before_ascii", "\xE6\x9Cz", u"\uFFFDz"},
        Invalid{"stray_continuation", "\x80\x80", u"\uFFFD\uFFFD"},
        Invalid{"overlong_slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        Invalid{"encoded_surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        Invalid{"above_max", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        Invalid{"valid_after_invalid", "\xFE\xE4\xB8\xAD", u"\uFFFD中"},
        Invalid{"invalid_after_nul", std::string("\0\xC3", 2), std::u16string(u"\0\uFFFD", 2)}),
    [](const testing::TestParamInfo<Invalid>& i) { return std::string(i.param.label); });

TEST(Text, LongTextConvertsWhole) {
    std::u16string wide;
    for (int i = 0; i < 100000; ++i) wide += (i % 3 == 0) ? u"中" : (i % 3 == 1 ? u"\U0001F600" : u"a");
    std::string narrow = Utf16ToUtf8(wide);
    EXPECT_EQ(Utf8ToUtf16(narrow), wide);
}

}  // namespace

namespace {

// Random byte strings drawn mostly from bytes that start, continue or break
// UTF-8 sequences. Whatever comes in, the result must be proper UTF-16, and
// the input counts as valid exactly when it survives the way back unchanged.
TEST(Text, AnyBytesGiveWellFormedText) {
    const unsigned char alphabet[] = {'a', 0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF,
                                      0xE0, 0xE6, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0xBD, 0xBB};
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (int round = 0; round < 20000; ++round) {
        std::string in(next() % 12, '\0');
        for (char& c : in) c = static_cast<char>(alphabet[next() % sizeof alphabet]);
        bool valid = false;
        std::u16string wide = Utf8ToUtf16(in, &valid);
        bool encodable = false;
        std::string back = Utf16ToUtf8(wide, Unmappable::Fail, &encodable);
        ASSERT_TRUE(encodable) << "unpaired surrogate produced, round " << round;
        ASSERT_EQ(valid, back == in) << "round " << round;
        ASSERT_EQ(Utf8ToUtf16(back), wide) << "round " << round;
    }
}

}  // namespace
