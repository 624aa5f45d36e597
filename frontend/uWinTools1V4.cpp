#include "frontend/uWinTools1V4.h"

#include <algorithm>

namespace {

constexpr std::size_t MaxValueLength = 1000;

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool CmdLineKeyMatches(const std::string& sParam, const std::string& sKey) {
    return sParam.size() >= sKey.size() &&
           std::equal(sKey.begin(), sKey.end(), sParam.begin(),
                      [](char a, char b) { return AsciiLower(a) == AsciiLower(b); });
}

std::string GetCmdLineValue(const std::vector<std::string>& aParams, const std::string& sKey,
                            const std::string& sDefault) {
    for (const std::string& sParam : aParams) {
        if (sParam.size() > sKey.size() && CmdLineKeyMatches(sParam, sKey))
            return sParam.substr(sKey.size(), MaxValueLength);
    }
    return sDefault;
}
