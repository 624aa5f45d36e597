#include "hexline/uFmt.h"

#include <cstdarg>
#include <cstdio>

std::string Fmt(const char* sFormat, ...) {
    // Measured first, then written into a string of that length.
    std::va_list args;
    va_start(args, sFormat);
    std::va_list args2;
    va_copy(args2, args);
    const int n = std::vsnprintf(nullptr, 0, sFormat, args);
    va_end(args);
    std::string s(n > 0 ? static_cast<std::size_t>(n) : 0u, '\0');
    if (n > 0)
        std::vsnprintf(s.data(), s.size() + 1, sFormat, args2);
    va_end(args2);
    return s;
}
