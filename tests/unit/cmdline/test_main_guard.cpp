// The top of every program's main: what escapes the program's body ends it with status 1 and one
// line that says why, never with an abort.
#include "cmdline/uMainGuard.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

TEST(MainGuard, AnEscapingExceptionBecomesStatusOneAndOneLine) {
    const struct {
        const char* sWhy;
        std::function<int()> body;
        int iExit;
        std::vector<std::string> aLines;
    } aCases[] = {
        {"the body's own status", [] { return 7; }, 7, {}},
        {"a standard exception, its text escaped",
         []() -> int { throw std::runtime_error("port \x1b[2J gone\r\n"); },
         1,
         {"kelvo-update: port \\x1b[2J gone\\x0d\\x0a"}},
        {"out of memory",
         []() -> int { throw std::bad_alloc(); },
         1,
         {"kelvo-update: std::bad_alloc"}},
        {"a usage error: its status, its text as its maker wrote it",
         []() -> int { throw EExit(2, "kelvo-update: no port\nTry 'kelvo-update --help'."); },
         2,
         {"kelvo-update: no port\nTry 'kelvo-update --help'."}},
        {"the end of --help: no text", []() -> int { throw EExit(0); }, 0, {}},
        {"not a standard exception",
         []() -> int { throw 42; },
         1,
         {"kelvo-update: the program ended on an unexpected error"}},
    };
    for (const auto& k : aCases) {
        std::vector<std::string> aLines;
        EXPECT_EQ(
            GuardMain("kelvo-update", k.body, [&](const std::string& s) { aLines.push_back(s); }),
            k.iExit)
            << k.sWhy;
        EXPECT_EQ(aLines, k.aLines) << k.sWhy;
    }
}

TEST(MainGuard, AReportThatFailsStillGivesStatusOne) {
    EXPECT_EQ(GuardMain(
                  "kelvo-update", []() -> int { throw std::runtime_error("first"); },
                  [](const std::string&) { throw std::bad_alloc(); }),
              1);
}
