#include "platform/language.h"

#include <string>

namespace platform {

namespace {

struct LocaleId {
    const char* lang;
    const char* country;
    uint16_t id;
};

// Windows language identifiers. For a locale whose country is not listed the
// first entry of its language in this order is used, so each language's
// usual country comes first.
constexpr LocaleId kTable[] = {
    {"zh", "CN", 2052}, {"zh", "TW", 1028}, {"zh", "HK", 3076}, {"zh", "SG", 4100},
    {"zh", "MO", 5124},
    {"en", "US", 1033}, {"en", "GB", 2057}, {"en", "AU", 3081}, {"en", "CA", 4105},
    {"en", "NZ", 5129}, {"en", "IE", 6153}, {"en", "ZA", 7177}, {"en", "IN", 16393},
    {"en", "SG", 18441},
    {"de", "DE", 1031}, {"de", "CH", 2055}, {"de", "AT", 3079}, {"de", "LU", 4103},
    {"fr", "FR", 1036}, {"fr", "BE", 2060}, {"fr", "CA", 3084}, {"fr", "CH", 4108},
    {"es", "ES", 3082}, {"es", "MX", 2058}, {"es", "AR", 11274},
    {"pt", "BR", 1046}, {"pt", "PT", 2070},
    {"it", "IT", 1040}, {"it", "CH", 2064},
    {"nl", "NL", 1043}, {"nl", "BE", 2067},
    {"sv", "SE", 1053}, {"sv", "FI", 2077},
    {"ar", "SA", 1025}, {"ar", "EG", 3073},
    {"ja", "JP", 1041}, {"ko", "KR", 1042}, {"ru", "RU", 1049},
    {"bg", "BG", 1026}, {"ca", "ES", 1027}, {"cs", "CZ", 1029}, {"da", "DK", 1030},
    {"el", "GR", 1032}, {"fi", "FI", 1035}, {"he", "IL", 1037}, {"hu", "HU", 1038},
    {"is", "IS", 1039}, {"nb", "NO", 1044}, {"pl", "PL", 1045}, {"ro", "RO", 1048},
    {"hr", "HR", 1050}, {"sk", "SK", 1051}, {"sq", "AL", 1052}, {"th", "TH", 1054},
    {"tr", "TR", 1055}, {"ur", "PK", 1056}, {"id", "ID", 1057}, {"uk", "UA", 1058},
    {"be", "BY", 1059}, {"sl", "SI", 1060}, {"et", "EE", 1061}, {"lv", "LV", 1062},
    {"lt", "LT", 1063}, {"fa", "IR", 1065}, {"vi", "VN", 1066}, {"hy", "AM", 1067},
    {"eu", "ES", 1069}, {"mk", "MK", 1071}, {"af", "ZA", 1078}, {"ka", "GE", 1079},
    {"hi", "IN", 1081}, {"ms", "MY", 1086}, {"kk", "KZ", 1087}, {"sw", "KE", 1089},
    {"bn", "IN", 1093}, {"ta", "IN", 1097}, {"gl", "ES", 1110}, {"nn", "NO", 2068},
    {"sr", "RS", 9242}, {"mn", "MN", 1104}, {"lo", "LA", 1108}, {"km", "KH", 1107},
};

std::string Lower(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

}  // namespace

uint16_t LanguageIdFromLocale(std::string_view locale) {
    // "lang[_COUNTRY][.codeset][@modifier]"; "-" is accepted for "_" as some
    // desktops write "zh-CN".
    size_t end = locale.find_first_of(".@");
    std::string_view name = locale.substr(0, end);
    size_t sep = name.find_first_of("_-");
    std::string lang = Lower(name.substr(0, sep));
    std::string country = sep == std::string_view::npos ? std::string() : Lower(name.substr(sep + 1));

    const LocaleId* firstOfLang = nullptr;
    for (const LocaleId& e : kTable) {
        if (lang != e.lang) continue;
        if (!firstOfLang) firstOfLang = &e;
        if (country == Lower(e.country)) return e.id;
    }
    return firstOfLang ? firstOfLang->id : kDefaultLanguageId;
}

}  // namespace platform
