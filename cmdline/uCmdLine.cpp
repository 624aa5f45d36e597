#include "cmdline/uCmdLine.h"

#include <algorithm>
#include <charconv>

namespace {

const TOptionDef* FindLong(std::span<const TOptionDef> aDefs, const std::string& sName) {
    const auto it = std::find_if(aDefs.begin(), aDefs.end(),
                                 [&](const TOptionDef& s) { return sName == s.sLong; });
    return it == aDefs.end() ? nullptr : &*it;
}

const TOptionDef* FindShort(std::span<const TOptionDef> aDefs, char c) {
    const auto it = std::find_if(aDefs.begin(), aDefs.end(), [&](const TOptionDef& s) {
        return s.cShort != 0 && c == s.cShort;
    });
    return it == aDefs.end() ? nullptr : &*it;
}

// "-" and digits: a value, not an option.
bool IsNegativeNumber(const std::string& s) {
    return s.size() > 1 && s[0] == '-' && s.find_first_not_of("0123456789", 1) == s.npos;
}

// An argument that is one of the options, or "--".
bool IsOption(std::span<const TOptionDef> aDefs, const std::string& s) {
    if (s == "--")
        return true;
    if (s.starts_with("--"))
        return FindLong(aDefs, s.substr(2, s.find('=') == s.npos ? s.npos : s.find('=') - 2));
    return s.size() > 1 && s[0] == '-' && FindShort(aDefs, s[1]);
}

} // namespace

TParsedArgs ParseCommandLine(const std::vector<std::string>& aArgs,
                             std::span<const TOptionDef> aDefs) {
    TParsedArgs parsed;
    // The value of an option p whose value is the next argument. An option there means that the
    // value was forgotten; anything else beginning with "-" but a number is refused, since it was
    // more likely meant as an option: "--port=-x" gives such a value.
    const auto next = [&](std::size_t& i, const std::string& sShown, const TOptionDef& p) {
        if (i + 1 >= aArgs.size() || IsOption(aDefs, aArgs[i + 1]))
            throw ECmdLine(sShown + " needs a value");
        const std::string& sNext = aArgs[i + 1];
        if (sNext.starts_with("-") && sNext != "-" && !IsNegativeNumber(sNext))
            throw ECmdLine("'" + sNext + "' looks like an option; use --" + p.sLong + "=" + sNext);
        return aArgs[++i];
    };
    bool bOptions = true;
    for (std::size_t i = 0; i < aArgs.size(); ++i) {
        const std::string& s = aArgs[i];
        if (!bOptions || s == "-" || !s.starts_with("-")) {
            parsed.aWords.push_back(s);
        } else if (s == "--") {
            bOptions = false;
        } else if (s.starts_with("--")) {
            const std::size_t iEq = s.find('=');
            const std::string sName = s.substr(2, iEq == std::string::npos ? s.npos : iEq - 2);
            const TOptionDef* p = FindLong(aDefs, sName);
            if (p == nullptr)
                throw ECmdLine("unknown option --" + sName);
            if (!p->bValue && iEq != std::string::npos)
                throw ECmdLine("--" + sName + " takes no value");
            std::string sValue;
            if (p->bValue)
                sValue = iEq != std::string::npos ? s.substr(iEq + 1) : next(i, "--" + sName, *p);
            parsed.aOptions.push_back({p->sLong, std::move(sValue)});
        } else {
            // Short options, several may stand together: -qy; a value ends the group: -pCOM3.
            for (std::size_t k = 1; k < s.size(); ++k) {
                const TOptionDef* p = FindShort(aDefs, s[k]);
                if (p == nullptr)
                    throw ECmdLine(std::string("unknown option -") + s[k]);
                if (!p->bValue) {
                    parsed.aOptions.push_back({p->sLong, {}});
                    continue;
                }
                const std::string sShown = std::string("-") + s[k];
                parsed.aOptions.push_back(
                    {p->sLong, k + 1 < s.size() ? s.substr(k + 1) : next(i, sShown, *p)});
                break;
            }
        }
    }
    return parsed;
}

std::optional<std::int64_t> ParseNumber(std::string_view s, std::int64_t iMin, std::int64_t iMax,
                                        TNumberForm form) {
    int iBase = 10;
    if (form == TNumberForm::DecimalOrHex && s.size() > 2 && s[0] == '0' &&
        (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        iBase = 16;
    }
    // from_chars takes a "-" for a signed type: only a range below 0 allows it, and only in
    // decimal ("0x-1" is no number).
    if (s.empty() || (s[0] == '-' && (iMin >= 0 || iBase != 10)))
        return std::nullopt;
    std::int64_t i = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), i, iBase);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || i < iMin || i > iMax)
        return std::nullopt;
    return i;
}

std::int64_t NumberOption(std::string_view sOption, std::string_view sValue, std::int64_t iMin,
                          std::int64_t iMax) {
    if (const auto i = ParseNumber(sValue, iMin, iMax))
        return *i;
    throw ECmdLine(std::string(sOption) + ": '" + std::string(sValue) +
                   "' is not a valid number (" + std::to_string(iMin) + " to " +
                   std::to_string(iMax) + ")");
}
