#include <gtest/gtest.h>

#include <ostream>

#include "platform/spawn.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include "windows/win_test_util.h"
#endif

namespace {

struct QuoteCase {
    const char* label;
    std::string arg;
    std::string quoted;
};

void PrintTo(const QuoteCase& c, std::ostream* os) { *os << c.label; }

class CommandLineQuote : public testing::TestWithParam<QuoteCase> {};

TEST_P(CommandLineQuote, QuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(platform::QuoteCommandLineArgument(GetParam().arg), GetParam().quoted);
}

#ifdef _WIN32
// What the system's own splitter makes of the quoted form.
TEST_P(CommandLineQuote, SystemSplitsItBackToTheArgument) {
    std::wstring line = win_test::W("prog.exe " + GetParam().quoted);
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(line.c_str(), &argc);
    ASSERT_NE(argv, nullptr);
    ASSERT_EQ(argc, 2);
    EXPECT_EQ(win_test::U8(std::wstring(argv[1])), GetParam().arg);
    ::LocalFree(argv);
}
#endif

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineQuote,
    testing::Values(QuoteCase{"plain", "abc", "abc"},
                    QuoteCase{"empty", "", "\"\""},
                    QuoteCase{"space", "a b", "\"a b\""},
                    QuoteCase{"tab", "a\tb", "\"a\tb\""},
                    QuoteCase{"quote", "a\"b", "\"a\\\"b\""},
                    // Backslashes are doubled only before a quote or the closing quote.
                    QuoteCase{"backslashes_alone", "C:\\a\\b", "C:\\a\\b"},
                    QuoteCase{"backslash_before_quote", "a\\\"b", "\"a\\\\\\\"b\""},
                    QuoteCase{"trailing_backslash_with_space", "C:\\a b\\", "\"C:\\a b\\\\\""},
                    QuoteCase{"chinese", "课堂 号", "\"课堂 号\""},
                    QuoteCase{"link", "/room?id=7\"", "\"/room?id=7\\\"\""}),
    [](const testing::TestParamInfo<QuoteCase>& i) { return std::string(i.param.label); });

}  // namespace
