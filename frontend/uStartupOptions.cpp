#include "frontend/uStartupOptions.h"

#include "device/uOptions.h"
#include "frontend/uWinTools1V4.h"

bool ParseStoreInteger(const std::string& s, long long& iValue) {
    std::size_t i = 0;
    const auto blank = [&s](std::size_t k) {
        return s[k] == ' ' || s[k] == '\t' || s[k] == '\r';
    };
    while (i < s.size() && blank(i))
        ++i;
    bool bNegative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        bNegative = s[i++] == '-';
    const std::size_t iDigits = i;
    long long v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        if (v > 100000000000LL)
            return false; // far beyond any code: refuse instead of overflowing
        v = v * 10 + (s[i++] - '0');
    }
    if (i == iDigits)
        return false;
    while (i < s.size() && blank(i))
        ++i;
    if (i != s.size())
        return false;
    iValue = bNegative ? -v : v;
    return true;
}

void ReadStartupOptions(const std::vector<std::string>& aParams, bool bInternal) {
    if (bInternal) {
        bCheckClass = GetCmdLineValue(aParams, "cc:", "") != "-";
        bCheckFamily = GetCmdLineValue(aParams, "cf:", "") != "-";
        bCheckPlatform = GetCmdLineValue(aParams, "cp:", "") != "-";
    }
    // The first matching parameter wins, so "+" means on and anything else off.
    if (GetCmdLineValue(aParams, "mf:", "") == "+")
        bFormatMemory = true;
    if (GetCmdLineValue(aParams, "mf:", "") == "-")
        bFormatMemory = false;
    if (bInternal) {
        iFileMode = 1;
        if (GetCmdLineValue(aParams, "f:", "-") == "+")
            iFileMode = 2;
    }
}
