// What the system's numbers read as, made safely on any thread: an error number's text, and an
// instant as local or UTC time. std::strerror, std::localtime and std::gmtime hand out buffers
// that every thread shares, and the workers, readers and watchers make such texts too.
#pragma once

#include <chrono>
#include <ctime>
#include <optional>
#include <string>

// The text of an errno value, as std::strerror gives it.
std::string ErrorText(int iError);

// t broken down in local time; in UTC when the system cannot break it down in local time.
std::tm LocalTime(std::time_t t);

// How far the local time is ahead of UTC at t (negative: behind), in whole minutes.
std::chrono::minutes UtcOffset(std::chrono::system_clock::time_point t);

// t in ISO 8601 with milliseconds, as a clock iOffset ahead of UTC shows it:
// "2026-12-10T12:34:56.789+01:00"; without an offset in UTC: "2026-12-10T11:34:56.789Z".
std::string IsoTime(std::chrono::sys_time<std::chrono::milliseconds> t,
                    std::optional<std::chrono::minutes> iOffset);
// t in that form, in UTC, and in local time with the offset.
std::string UtcIso(std::chrono::system_clock::time_point t);
std::string LocalIso(std::chrono::system_clock::time_point t);
