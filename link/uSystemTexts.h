// What the system's numbers read as, made safely on any thread: an error number's text, and an
// instant in local time. std::strerror and std::localtime hand out buffers that every thread
// shares, and the workers, readers and watchers make such texts too.
#pragma once

#include <ctime>
#include <string>

// The text of an errno value, as std::strerror gives it.
std::string ErrorText(int iError);

// t broken down in local time; in UTC when the system cannot break it down in local time.
std::tm LocalTime(std::time_t t);
