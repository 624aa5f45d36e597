// The system's values as texts: error numbers as the C library names them, and instants in UTC
// and in local time, whatever the offset and across day and year ends.
#include "link/uSystemTexts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

using namespace std::chrono;

TEST(SystemTexts, ErrorTextsAreTheCLibrarys) {
    for (const int iError : {ENOENT, EACCES, EBUSY, EIO, ENOTTY, 0, 123456})
        EXPECT_EQ(ErrorText(iError), std::strerror(iError)) << iError;
}

TEST(SystemTexts, IsoTimeWithAndWithoutItsOffset) {
    const sys_days day = 2026y / December / 10;
    const struct {
        sys_time<milliseconds> t;
        std::optional<minutes> iOffset;
        const char* sExpected;
    } aCases[] = {
        {day + 18h + 56min + 28s + 920ms, std::nullopt, "2026-12-10T18:56:28.920Z"},
        {sys_days(1970y / January / 1) + 5ms, std::nullopt, "1970-01-01T00:00:00.005Z"},
        {day + 12h + 34min + 56s + 7ms, 0min, "2026-12-10T12:34:56.007+00:00"},
        {day + 12h + 34min + 56s + 789ms, 60min, "2026-12-10T13:34:56.789+01:00"},
        // The local date differs from UTC's: across a year's end both ways, into a leap day, out
        // of February.
        {sys_days(2025y / December / 31) + 19h + 45min + 7ms, 285min,
         "2026-01-01T00:30:00.007+04:45"},
        {sys_days(2026y / January / 1) + 7ms, -210min, "2025-12-31T20:30:00.007-03:30"},
        {sys_days(2028y / March / 1) + 9h + 7ms, -600min, "2028-02-29T23:00:00.007-10:00"},
        {sys_days(2027y / February / 28) + 10h + 15min + 7ms, 840min,
         "2027-03-01T00:15:00.007+14:00"},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(IsoTime(c.t, c.iOffset), c.sExpected);
    EXPECT_EQ(UtcIso(sys_days(2026y / December / 10) + 18h + 56min + 28s + 920999us),
              "2026-12-10T18:56:28.920Z")
        << "milliseconds cut, not rounded";
}

#ifndef _WIN32
// The local time of the zones that TZ names, set for the test and put back afterwards.
TEST(SystemTexts, LocalTimeInTheZoneOfTz) {
    const char* sOld = std::getenv("TZ");
    const std::optional<std::string> sKept = sOld ? std::optional<std::string>(sOld) : std::nullopt;
    const sys_days winter = 2026y / December / 10;
    const sys_days summer = 2026y / July / 1;
    const struct {
        const char* sZone;
        sys_time<milliseconds> t;
        const char* sExpected;
    } aCases[] = {
        {"UTC0", winter + 11h + 34min + 56s + 789ms, "2026-12-10T11:34:56.789+00:00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", winter + 11h + 34min + 56s + 789ms,
         "2026-12-10T12:34:56.789+01:00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", summer + 22h + 30min, "2026-07-02T00:30:00.000+02:00"},
        {"<-0330>3:30", sys_days(2026y / January / 1) + 1h, "2025-12-31T21:30:00.000-03:30"},
        {"<+0545>-5:45", sys_days(2025y / December / 31) + 20h, "2026-01-01T01:45:00.000+05:45"},
    };
    for (const auto& c : aCases) {
        ::setenv("TZ", c.sZone, 1);
        ::tzset();
        EXPECT_EQ(LocalIso(c.t), c.sExpected) << c.sZone;
        const std::tm tm = LocalTime(system_clock::to_time_t(c.t));
        EXPECT_EQ(tm.tm_hour * 100 + tm.tm_min,
                  std::atoi(c.sExpected + 11) * 100 + std::atoi(c.sExpected + 14))
            << c.sZone;
    }
    if (sKept)
        ::setenv("TZ", sKept->c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}
#endif
