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

std::vector<std::string> StartupOptionWarnings(const std::vector<std::string>& aParams,
                                               bool bInternal) {
    struct TKey {
        const char* sKey;
        bool bInternalOnly;
    };
    constexpr TKey aKeys[] = {
        {"mf:", false}, {"cc:", true}, {"cf:", true}, {"cp:", true}, {"f:", true}};
    std::vector<std::string> aWarnings;
    for (const std::string& sParam : aParams) {
        const TKey* pKey = nullptr;
        for (const TKey& k : aKeys) {
            if (CmdLineKeyMatches(sParam, k.sKey)) {
                pKey = &k;
                break;
            }
        }
        if (pKey == nullptr)
            aWarnings.push_back("unknown start-up option '" + sParam +
                                "' (known: mf:, and in the internal mode cc:, cf:, cp:, f:)");
        else if (sParam.size() == std::string(pKey->sKey).size())
            aWarnings.push_back("start-up option '" + sParam + "' has no value");
        else if (pKey->bInternalOnly && !bInternal)
            aWarnings.push_back("start-up option '" + sParam +
                                "' has no effect outside the internal mode");
    }
    return aWarnings;
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
