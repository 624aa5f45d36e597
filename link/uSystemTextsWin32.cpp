#include "link/uSystemTexts.h"

#include <cstring>
#include <time.h>

std::string ErrorText(int iError) {
    char a[256] = {};
    if (::strerror_s(a, sizeof a, iError) != 0)
        return "Unknown error " + std::to_string(iError);
    return a;
}

std::tm LocalTime(std::time_t t) {
    std::tm tm{};
    if (::localtime_s(&tm, &t) != 0)
        ::gmtime_s(&tm, &t);
    return tm;
}
