#include "platform/language.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <ostream>

namespace {

struct EnvCase {
    std::optional<const char*> lcAll, lcMessages, lang;
    uint16_t id;
};

void PrintTo(const EnvCase& c, std::ostream* os) {
    for (auto v : {c.lcAll, c.lcMessages, c.lang}) *os << (v ? *v : "(unset)") << ' ';
}

class LanguageEnvironment : public testing::TestWithParam<EnvCase> {};

void SetOrUnset(const char* name, std::optional<const char*> value) {
    if (value)
        ::setenv(name, *value, 1);
    else
        ::unsetenv(name);
}

TEST_P(LanguageEnvironment, FirstNonEmptyVariableWins) {
    const EnvCase& c = GetParam();
    SetOrUnset("LC_ALL", c.lcAll);
    SetOrUnset("LC_MESSAGES", c.lcMessages);
    SetOrUnset("LANG", c.lang);
    EXPECT_EQ(platform::GetUserDefaultUILanguage(), c.id);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LanguageEnvironment,
    testing::Values(EnvCase{"zh_CN.UTF-8", "en_US.UTF-8", "de_DE.UTF-8", 2052},
                    EnvCase{"", "zh_TW.UTF-8", "zh_CN.UTF-8", 1028},
                    EnvCase{std::nullopt, std::nullopt, "zh_CN.UTF-8", 2052},
                    EnvCase{"C", std::nullopt, "zh_CN.UTF-8", 1033},
                    EnvCase{"", "", "", 1033},
                    EnvCase{std::nullopt, std::nullopt, std::nullopt, 1033}));

TEST(Language, ReadAnewAtEachCall) {
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_MESSAGES");
    ::setenv("LANG", "zh_CN.UTF-8", 1);
    EXPECT_EQ(platform::GetUserDefaultUILanguage(), 2052);
    ::setenv("LANG", "en_US.UTF-8", 1);
    EXPECT_EQ(platform::GetUserDefaultUILanguage(), 1033);
}

}  // namespace
