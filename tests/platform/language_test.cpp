#include "platform/language.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>

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

}  // namespace
