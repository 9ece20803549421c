// DOS times are local times: read under chosen POSIX time zones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "unpack/EntryMeta.h"
#include "zip_builder.h"

namespace {

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (old_.empty()) unsetenv("TZ");
        else setenv("TZ", old_.c_str(), 1);
        tzset();
    }

private:
    std::string old_;
};

const uint32_t kSummerNoon = tavlin_test::DosDateTime(2020, 6, 15, 12, 30, 0);
const uint32_t kWinterNoon = tavlin_test::DosDateTime(2020, 1, 15, 12, 30, 0);
constexpr std::time_t kSummerNoonUtc = 1592224200;  // 2020-06-15 12:30:00 UTC
constexpr std::time_t kWinterNoonUtc = 1579091400;  // 2020-01-15 12:30:00 UTC

TEST(EntryMeta, DosTimeIsLocalTime) {
    {
        ScopedTimeZone tz("UTC0");
        EXPECT_EQ(tavlin::unpack::DosDateTimeToUtc(kSummerNoon), kSummerNoonUtc);
    }
    {
        ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
        EXPECT_EQ(tavlin::unpack::DosDateTimeToUtc(kSummerNoon), kSummerNoonUtc - 2 * 3600);
        EXPECT_EQ(tavlin::unpack::DosDateTimeToUtc(kWinterNoon), kWinterNoonUtc - 3600);
        // Odd seconds do not exist in DOS time.
        EXPECT_EQ(tavlin::unpack::DosDateTimeToUtc(tavlin_test::DosDateTime(2020, 1, 15, 12, 30, 59)),
                  kWinterNoonUtc - 3600 + 58);
    }
}

}  // namespace
