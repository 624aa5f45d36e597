#include "frontend/uPortList.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

// Natural order: runs of digits compare by their number.
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool bDigitA = a[i] >= '0' && a[i] <= '9';
        const bool bDigitB = b[j] >= '0' && b[j] <= '9';
        if (bDigitA && bDigitB) {
            const std::size_t i0 = i;
            const std::size_t j0 = j;
            while (i < a.size() && a[i] >= '0' && a[i] <= '9')
                ++i;
            while (j < b.size() && b[j] >= '0' && b[j] <= '9')
                ++j;
            // Compare without leading zeros: longer means larger, then digit by digit.
            std::size_t ia = i0;
            while (ia + 1 < i && a[ia] == '0')
                ++ia;
            std::size_t jb = j0;
            while (jb + 1 < j && b[jb] == '0')
                ++jb;
            if (i - ia != j - jb)
                return i - ia < j - jb;
            const int c = a.compare(ia, i - ia, b, jb, j - jb);
            if (c != 0)
                return c < 0;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

} // namespace

void ListComPorts(std::vector<std::string>& aList, const std::string& sDevDir) {
    aList.clear();
    std::vector<std::string> aNames;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(sDevDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string sName = it->path().filename().string();
        if (sName.rfind("ttyUSB", 0) == 0 || sName.rfind("ttyACM", 0) == 0)
            aNames.push_back(sName);
    }
    std::sort(aNames.begin(), aNames.end(), NaturalLess);
    const std::string sPrefix = sDevDir.empty() || sDevDir.back() == '/' ? sDevDir : sDevDir + "/";
    for (const auto& s : aNames)
        aList.push_back(sPrefix + s);
}
