// The command-line lookup and the start-up options on arbitrary argument lists. The input is split
// at NUL bytes: the key, the default, then the parameters.
#include "device/uOptions.h"
#include "frontend/uStartupOptions.h"
#include "frontend/uWinTools1V4.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Check(bool b) {
    if (!b)
        std::abort();
}

std::vector<std::string> Split(const std::uint8_t* pData, std::size_t iSize) {
    std::vector<std::string> aParts(1);
    for (std::size_t i = 0; i < iSize; ++i) {
        if (pData[i] == 0)
            aParts.emplace_back();
        else
            aParts.back() += static_cast<char>(pData[i]);
    }
    return aParts;
}

// The lookup written out plainly: the first parameter longer than the key whose head equals the
// key, letters A-Z compared without case; its rest, cut to 1,000 characters.
std::string Lookup(const std::vector<std::string>& aParams, const std::string& sKey,
                   const std::string& sDefault) {
    const auto fold = [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    };
    for (const std::string& sParam : aParams) {
        if (sParam.size() <= sKey.size())
            continue;
        bool bSame = true;
        for (std::size_t i = 0; i < sKey.size() && bSame; ++i)
            bSame = fold(sParam[i]) == fold(sKey[i]);
        if (bSame)
            return sParam.substr(sKey.size(), 1000);
    }
    return sDefault;
}

void CheckStartupOptions(const std::vector<std::string>& aParams, bool bInternal) {
    // Values that no rule sets, so that an untouched option shows.
    bCheckClass = bCheckFamily = bCheckPlatform = bInternal;
    const bool bFormatBefore = aParams.size() % 2 == 0;
    bFormatMemory = bFormatBefore;
    iFileMode = 7;
    ReadStartupOptions(aParams, bInternal);
    if (bInternal) {
        Check(bCheckClass == (Lookup(aParams, "cc:", "") != "-"));
        Check(bCheckFamily == (Lookup(aParams, "cf:", "") != "-"));
        Check(bCheckPlatform == (Lookup(aParams, "cp:", "") != "-"));
        Check(iFileMode == (Lookup(aParams, "f:", "-") == "+" ? 2 : 1));
    } else {
        Check(!bCheckClass && !bCheckFamily && !bCheckPlatform && iFileMode == 7);
    }
    const std::string sFormat = Lookup(aParams, "mf:", "");
    Check(bFormatMemory == (sFormat == "+" ? true : sFormat == "-" ? false : bFormatBefore));
}

// An integer of the internal-mode store: blanks, an optional sign, decimal digits, blanks.
void CheckStoreInteger(const std::string& s) {
    long long iValue = 0;
    if (!ParseStoreInteger(s, iValue))
        return;
    const auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\r';
    };
    std::size_t iBegin = 0;
    std::size_t iEnd = s.size();
    while (iBegin < iEnd && blank(s[iBegin]))
        ++iBegin;
    while (iEnd > iBegin && blank(s[iEnd - 1]))
        --iEnd;
    const std::string sNumber = s.substr(iBegin, iEnd - iBegin);
    std::size_t iUsed = 0;
    Check(std::stoll(sNumber, &iUsed) == iValue && iUsed == sNumber.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t iSize) {
    std::vector<std::string> aParts = Split(pData, iSize);
    const std::string sKey = aParts[0];
    const std::string sDefault = aParts.size() > 1 ? aParts[1] : std::string("none");
    const std::vector<std::string> aParams(aParts.begin() + (aParts.size() > 1 ? 2 : 1),
                                           aParts.end());

    Check(GetCmdLineValue(aParams, sKey, sDefault) == Lookup(aParams, sKey, sDefault));
    for (const char* sOption : {"cc:", "cf:", "cp:", "mf:", "f:"})
        Check(GetCmdLineValue(aParams, sOption, sDefault) == Lookup(aParams, sOption, sDefault));

    CheckStartupOptions(aParams, false);
    CheckStartupOptions(aParams, true);
    for (const std::string& sPart : aParts)
        CheckStoreInteger(sPart);
    return 0;
}
