#include "hexline/uShownText.h"

int Utf8Sequence(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) {
        return static_cast<unsigned char>(s[k]);
    };
    const unsigned c = b(i);
    if (c < 0x80)
        return 1;
    int n = 0;
    unsigned iLow = 0x80; // the range of the second byte
    unsigned iHigh = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        iLow = c == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        iHigh = c == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        iLow = c == 0xF0 ? 0x90 : 0x80;
        iHigh = c == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    } else {
        return -1;
    }
    for (int k = 1; k < n; ++k) {
        if (i + k >= s.size())
            return -k;
        const unsigned d = b(i + k);
        if (k == 1 ? (d < iLow || d > iHigh) : (d < 0x80 || d > 0xBF))
            return -k;
    }
    return n;
}

std::string EscapeControlChars(std::string_view s) {
    constexpr const char* sDigits = "0123456789abcdef";
    const auto escaped = [&](unsigned char b) {
        return std::string{'\\', 'x', sDigits[b >> 4], sDigits[b & 0xF]};
    };
    std::string sShown;
    sShown.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const int n = Utf8Sequence(s, i);
        if (n == 2 && b == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
            sShown += escaped(b) + escaped(static_cast<unsigned char>(s[i + 1]));
            i += 2;
        } else if (n > 1) {
            sShown.append(s, i, static_cast<std::size_t>(n));
            i += static_cast<std::size_t>(n);
        } else {
            const bool bControl = b < 0x20 || b == 0x7F || (b >= 0x80 && b <= 0x9F);
            sShown += bControl ? escaped(b) : std::string(1, static_cast<char>(b));
            ++i;
        }
    }
    return sShown;
}
