#include "cli/uJsonRead.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace {

// Deeper nesting than this is refused rather than followed down the stack.
constexpr int MaxDepth = 64;

class TParser {
public:
    explicit TParser(std::string_view s) : Fs(s) {}

    std::optional<TJson> Whole() {
        TJson v;
        if (!Value(v, 0))
            return std::nullopt;
        Space();
        if (Fi != Fs.size())
            return std::nullopt;
        return v;
    }

private:
    void Space() {
        while (Fi < Fs.size() &&
               (Fs[Fi] == ' ' || Fs[Fi] == '\t' || Fs[Fi] == '\n' || Fs[Fi] == '\r'))
            ++Fi;
    }
    bool Take(char c) {
        Space();
        if (Fi < Fs.size() && Fs[Fi] == c) {
            ++Fi;
            return true;
        }
        return false;
    }
    bool Word(std::string_view sWord) {
        if (Fs.substr(Fi, sWord.size()) != sWord)
            return false;
        Fi += sWord.size();
        return true;
    }

    bool Value(TJson& v, int iDepth) {
        if (iDepth > MaxDepth)
            return false;
        Space();
        if (Fi >= Fs.size())
            return false;
        switch (Fs[Fi]) {
        case '{':
            return Object(v, iDepth);
        case '[':
            return Array(v, iDepth);
        case '"':
            v.kind = TJson::TKind::String;
            return String(v.s);
        case 't':
            v.kind = TJson::TKind::Bool;
            v.b = true;
            return Word("true");
        case 'f':
            v.kind = TJson::TKind::Bool;
            return Word("false");
        case 'n':
            return Word("null");
        default:
            return Number(v);
        }
    }

    bool Object(TJson& v, int iDepth) {
        ++Fi;
        v.kind = TJson::TKind::Object;
        if (Take('}'))
            return true;
        do {
            std::string sKey;
            Space();
            if (Fi >= Fs.size() || Fs[Fi] != '"' || !String(sKey) || !Take(':'))
                return false;
            TJson member;
            if (!Value(member, iDepth + 1))
                return false;
            v.aMembers.emplace_back(std::move(sKey), std::move(member));
        } while (Take(','));
        return Take('}');
    }

    bool Array(TJson& v, int iDepth) {
        ++Fi;
        v.kind = TJson::TKind::Array;
        if (Take(']'))
            return true;
        do {
            TJson item;
            if (!Value(item, iDepth + 1))
                return false;
            v.aItems.push_back(std::move(item));
        } while (Take(','));
        return Take(']');
    }

    bool Number(TJson& v) {
        // The JSON grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
        const std::size_t iStart = Fi;
        const auto digits = [&] {
            const std::size_t i = Fi;
            while (Fi < Fs.size() && Fs[Fi] >= '0' && Fs[Fi] <= '9')
                ++Fi;
            return Fi - i;
        };
        if (Fi < Fs.size() && Fs[Fi] == '-')
            ++Fi;
        const std::size_t iIntStart = Fi;
        const std::size_t iInt = digits();
        if (iInt == 0 || (iInt > 1 && Fs[iIntStart] == '0'))
            return false;
        if (Fi < Fs.size() && Fs[Fi] == '.') {
            ++Fi;
            if (digits() == 0)
                return false;
        }
        if (Fi < Fs.size() && (Fs[Fi] == 'e' || Fs[Fi] == 'E')) {
            ++Fi;
            if (Fi < Fs.size() && (Fs[Fi] == '+' || Fs[Fi] == '-'))
                ++Fi;
            if (digits() == 0)
                return false;
        }
        v.kind = TJson::TKind::Number;
        const auto r = std::from_chars(Fs.data() + iStart, Fs.data() + Fi, v.d);
        return r.ec == std::errc() || r.ec == std::errc::result_out_of_range;
    }

    bool Hex4(std::uint32_t& i) {
        if (Fi + 4 > Fs.size())
            return false;
        const auto r = std::from_chars(Fs.data() + Fi, Fs.data() + Fi + 4, i, 16);
        if (r.ptr != Fs.data() + Fi + 4)
            return false;
        Fi += 4;
        return true;
    }

    static void Utf8(std::uint32_t c, std::string& s) {
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xC0 | c >> 6);
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            s += static_cast<char>(0xE0 | c >> 12);
            s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | c >> 18);
            s += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    bool String(std::string& s) {
        ++Fi; // the opening quote
        for (;;) {
            if (Fi >= Fs.size())
                return false;
            const char c = Fs[Fi++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                s += c;
                continue;
            }
            if (Fi >= Fs.size())
                return false;
            switch (Fs[Fi++]) {
            case '"':
                s += '"';
                break;
            case '\\':
                s += '\\';
                break;
            case '/':
                s += '/';
                break;
            case 'b':
                s += '\b';
                break;
            case 'f':
                s += '\f';
                break;
            case 'n':
                s += '\n';
                break;
            case 'r':
                s += '\r';
                break;
            case 't':
                s += '\t';
                break;
            case 'u': {
                std::uint32_t c1 = 0;
                if (!Hex4(c1))
                    return false;
                // A surrogate pair makes one character; a lone surrogate becomes U+FFFD.
                if (c1 >= 0xD800 && c1 <= 0xDBFF && Fs.substr(Fi, 2) == "\\u") {
                    Fi += 2;
                    std::uint32_t c2 = 0;
                    if (!Hex4(c2))
                        return false;
                    if (c2 >= 0xDC00 && c2 <= 0xDFFF) {
                        Utf8(0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00), s);
                        break;
                    }
                    Utf8(0xFFFD, s);
                    c1 = c2;
                }
                Utf8(c1 >= 0xD800 && c1 <= 0xDFFF ? 0xFFFD : c1, s);
                break;
            }
            default:
                return false;
            }
        }
    }

    std::string_view Fs;
    std::size_t Fi = 0;
};

} // namespace

const TJson* TJson::Find(std::string_view sKey) const {
    for (const auto& [sName, value] : aMembers) {
        if (sName == sKey)
            return &value;
    }
    return nullptr;
}

std::optional<std::string> TJson::Str(std::string_view sKey) const {
    const TJson* p = Find(sKey);
    if (p == nullptr || p->kind != TKind::String)
        return std::nullopt;
    return p->s;
}

std::optional<long long> TJson::Int(std::string_view sKey) const {
    const TJson* p = Find(sKey);
    // Within what a double holds exactly.
    if (p == nullptr || p->kind != TKind::Number || std::trunc(p->d) != p->d ||
        std::fabs(p->d) > 9007199254740992.0)
        return std::nullopt;
    return static_cast<long long>(p->d);
}

std::optional<TJson> ParseJson(std::string_view s) {
    return TParser(s).Whole();
}
