// printf-style formatting into a std::string, of any length.
#pragma once

#include <string>

[[gnu::format(printf, 1, 2)]] std::string Fmt(const char* sFormat, ...);
