#include "platform/language.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <ostream>
#include <optional>

namespace {

struct LocaleCase {
    const char* locale;
    uint16_t id;
};

void PrintTo(const LocaleCase& c, std::ostream* os) { *os << '"' << c.locale << '"'; }

class LanguageTable : public testing::TestWithParam<LocaleCase> {};

TEST_P(LanguageTable, MapsLocaleToLanguageId) {
    EXPECT_EQ(platform::LanguageIdFromLocale(GetParam().locale), GetParam().id) << GetParam().locale;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LanguageTable,
    testing::Values(LocaleCase{"zh_CN.UTF-8", 2052}, LocaleCase{"zh_CN", 2052}, LocaleCase{"zh_TW.Big5", 1028},
                    LocaleCase{"zh_HK.UTF-8", 3076}, LocaleCase{"zh_SG.GB2312", 4100},
                    LocaleCase{"en_US.UTF-8", 1033}, LocaleCase{"en_GB", 2057}, LocaleCase{"de_DE@euro", 1031},
                    LocaleCase{"fr_FR.UTF-8", 1036}, LocaleCase{"ja_JP.eucJP", 1041}, LocaleCase{"ko_KR", 1042},
                    LocaleCase{"ru_RU.KOI8-R", 1049},
                    // Loose spellings seen in the wild.
                    LocaleCase{"zh_cn.utf8", 2052}, LocaleCase{"zh-CN", 2052}, LocaleCase{"zh", 2052},
                    // A known language in an unlisted country keeps its language.
                    LocaleCase{"de_BE.UTF-8", 1031},
                    LocaleCase{"C", 1033}, LocaleCase{"POSIX", 1033}, LocaleCase{"C.UTF-8", 1033},
                    LocaleCase{"", 1033}, LocaleCase{"xx_YY", 1033}, LocaleCase{"zhCN", 1033}),
    [](const testing::TestParamInfo<LocaleCase>& i) {
        std::string name = i.param.locale[0] ? i.param.locale : "empty";
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name + "_" + std::to_string(i.index);
    });

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
