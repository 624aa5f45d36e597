#include "link/uSystemTexts.h"

#include <cstdio>

std::chrono::minutes UtcOffset(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const sys_seconds tUtc = floor<seconds>(t);
    const std::tm local = LocalTime(system_clock::to_time_t(tUtc));
    // The local clock's reading taken as if it were UTC: the difference is the offset.
    const sys_seconds tLocal =
        sys_days{year{local.tm_year + 1900} / (local.tm_mon + 1) / local.tm_mday} +
        hours{local.tm_hour} + minutes{local.tm_min} + seconds{local.tm_sec};
    return duration_cast<minutes>(tLocal - tUtc);
}

std::string IsoTime(std::chrono::sys_time<std::chrono::milliseconds> t,
                    std::optional<std::chrono::minutes> iOffset) {
    using namespace std::chrono;
    const sys_time<milliseconds> tShown = t + iOffset.value_or(minutes{0});
    const sys_days day = floor<days>(tShown);
    const year_month_day date{day};
    const hh_mm_ss time{tShown - day};
    char s[48];
    const int n = std::snprintf(
        s, sizeof s, "%04d-%02u-%02uT%02d:%02d:%02d.%03d", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    if (!iOffset)
        return std::string(s, static_cast<std::size_t>(n)) + "Z";
    const auto iMinutes = iOffset->count();
    const long long iAbs = iMinutes < 0 ? -iMinutes : iMinutes;
    std::snprintf(s + n, sizeof s - static_cast<std::size_t>(n), "%c%02lld:%02lld",
                  iMinutes < 0 ? '-' : '+', iAbs / 60, iAbs % 60);
    return s;
}

std::string UtcIso(std::chrono::system_clock::time_point t) {
    return IsoTime(std::chrono::floor<std::chrono::milliseconds>(t), std::nullopt);
}

std::string LocalIso(std::chrono::system_clock::time_point t) {
    return IsoTime(std::chrono::floor<std::chrono::milliseconds>(t), UtcOffset(t));
}
