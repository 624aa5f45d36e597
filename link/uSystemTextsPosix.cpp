#include "link/uSystemTexts.h"

#include <cstring>

namespace {

// strerror_r comes in two forms: the GNU one returns the text, the POSIX one fills the buffer.
[[maybe_unused]] const char* TextOf(const char* sText, const char*) {
    return sText;
}
[[maybe_unused]] const char* TextOf(int iResult, const char* sBuffer) {
    return iResult == 0 ? sBuffer : nullptr;
}

} // namespace

std::string ErrorText(int iError) {
    char a[256] = {};
    const char* s = TextOf(::strerror_r(iError, a, sizeof a), a);
    return s != nullptr ? s : "Unknown error " + std::to_string(iError);
}

std::tm LocalTime(std::time_t t) {
    std::tm tm{};
    if (::localtime_r(&t, &tm) == nullptr)
        ::gmtime_r(&t, &tm);
    return tm;
}
