// Reading JSON back: kelvo-update with several ports reads the JSON Lines of its child processes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One JSON value.
struct TJson {
    enum class TKind { Null, Bool, Number, String, Array, Object };
    TKind kind = TKind::Null;
    bool b = false;
    double d = 0;
    std::string s; // a string, in UTF-8
    std::vector<TJson> aItems;
    std::vector<std::pair<std::string, TJson>> aMembers; // in their order

    // The member sKey of an object, or nullptr.
    const TJson* Find(std::string_view sKey) const;
    // The member sKey when it is a string, or an integral number.
    std::optional<std::string> Str(std::string_view sKey) const;
    std::optional<long long> Int(std::string_view sKey) const;
    bool IsNull() const { return kind == TKind::Null; }
};

// The value that s holds entirely (white space around it allowed), or nothing when s is not
// JSON.
std::optional<TJson> ParseJson(std::string_view s);
