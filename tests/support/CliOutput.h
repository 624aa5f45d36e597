// Reading what kelvo-update wrote, for end-to-end tests: counts, the lines and summary row of a
// port, JSON Lines, and waiting for a condition.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// How often sWhat occurs in sText (overlaps included).
inline int Count(const std::string& sText, const std::string& sWhat) {
    int n = 0;
    for (std::size_t p = sText.find(sWhat); p != std::string::npos; p = sText.find(sWhat, p + 1))
        ++n;
    return n;
}

// The report lines of one port ("<port>: ..."), one a line.
inline std::string PortLines(const std::string& sOut, const std::string& sPort) {
    std::istringstream in(sOut);
    std::string sLines;
    for (std::string s; std::getline(in, s);) {
        if (s.starts_with(sPort + ": "))
            sLines += s + "\n";
    }
    return sLines;
}

// The port's row of the summary table, its cells split at runs of two or more spaces.
inline std::vector<std::string> SummaryRow(const std::string& sOut, const std::string& sPort) {
    std::istringstream in(sOut);
    for (std::string s; std::getline(in, s);) {
        if (!s.starts_with(sPort + "  "))
            continue;
        std::vector<std::string> aCells;
        for (std::size_t i = 0; i < s.size();) {
            const std::size_t iEnd = s.find("  ", i);
            aCells.push_back(s.substr(i, iEnd - i));
            i = iEnd == std::string::npos ? s.size() : s.find_first_not_of(' ', iEnd);
        }
        return aCells;
    }
    return {};
}

// Every line of a --json output parsed; a line that is not JSON in valid UTF-8 fails the test.
inline std::vector<nlohmann::json> JsonLines(const std::string& sOut) {
    std::vector<nlohmann::json> a;
    std::istringstream in(sOut);
    for (std::string s; std::getline(in, s);) {
        try {
            a.push_back(nlohmann::json::parse(s));
        } catch (const nlohmann::json::exception& e) {
            ADD_FAILURE() << e.what() << "\n" << s;
        }
    }
    return a;
}

// True once condition() holds, false when tLimit has passed before.
template <class F> bool WaitUntil(F condition, std::chrono::milliseconds tLimit) {
    const auto tEnd = std::chrono::steady_clock::now() + tLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= tEnd)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
