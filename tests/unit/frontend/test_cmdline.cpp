// The command-line conventions shared by the programs.
#include "frontend/uCmdLine.h"
#include "frontend/uStartupOptions.h"

#include <gtest/gtest.h>

namespace {

constexpr TOptionSpec aSpecs[] = {
    {"port", 'p', true}, {"yes", 'y', false}, {"quiet", 'q', false}, {"trace", 0, true}};

std::string Shown(const TParsedArgs& a) {
    std::string s;
    for (const auto& o : a.aOptions)
        s += "[" + o.sName + "=" + o.sValue + "]";
    for (const auto& w : a.aWords)
        s += "(" + w + ")";
    return s;
}

} // namespace

TEST(CmdLine, FormsOfOptionsAndWords) {
    const struct {
        std::vector<std::string> aArgs;
        const char* sParsed;
    } aCases[] = {
        {{"--port", "COM3", "--yes"}, "[port=COM3][yes=]"},
        {{"--port=COM3"}, "[port=COM3]"},
        {{"--port="}, "[port=]"},
        {{"-p", "/dev/ttyUSB0"}, "[port=/dev/ttyUSB0]"},
        {{"-p/dev/ttyUSB0"}, "[port=/dev/ttyUSB0]"},
        {{"-qy"}, "[quiet=][yes=]"},
        {{"-qpCOM4"}, "[quiet=][port=COM4]"},
        {{"mf:+", "-y", "cc:-"}, "[yes=](mf:+)(cc:-)"},
        {{"--trace", "-"}, "[trace=-]"},
        {{"--trace", "-12", "-p", "-3"}, "[trace=-12][port=-3]"},
        {{"--port=-x"}, "[port=-x]"},
        {{"--", "--yes", "-q"}, "(--yes)(-q)"},
        {{"-"}, "(-)"},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(Shown(ParseCommandLine(c.aArgs, aSpecs)), c.sParsed) << c.sParsed;
}

TEST(CmdLine, BrokenConventionsAreExplained) {
    const struct {
        std::vector<std::string> aArgs;
        const char* sError;
    } aCases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"-x"}, "unknown option -x"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "--yes"}, "--port needs a value"}, // forgotten, not "--yes" as the port
        {{"-p", "-y"}, "-p needs a value"},
        {{"--port", "--"}, "--port needs a value"},
        {{"--port", "--quiet=1"}, "--port needs a value"},
        {{"--port", "-x"}, "'-x' looks like an option; use --port=-x"},
        {{"-p", "--x"}, "'--x' looks like an option; use --port=--x"},
        {{"--trace", "-1x"}, "'-1x' looks like an option; use --trace=-1x"},
        {{"--yes=1"}, "--yes takes no value"},
    };
    for (const auto& c : aCases) {
        try {
            ParseCommandLine(c.aArgs, aSpecs);
            ADD_FAILURE() << c.sError;
        } catch (const ECmdLine& e) {
            EXPECT_STREQ(e.what(), c.sError);
        }
    }
}

TEST(StartupWords, WithoutEffectAreWarnedAbout) {
    const struct {
        const char* sWord;
        bool bInternal;
        const char* sWarning; // empty: none
    } aCases[] = {
        {"mf:+", false, ""},
        {"MF:-", false, ""},
        {"cc:-", true, ""},
        {"f:+", true, ""},
        {"cc:-", false, "has no effect outside the internal mode"},
        {"f:+", false, "has no effect outside the internal mode"},
        {"xx:1", true, "unknown start-up option 'xx:1'"},
        {"mf:", false, "has no value"},
    };
    for (const auto& c : aCases) {
        const auto aWarnings = StartupOptionWarnings({c.sWord}, c.bInternal);
        if (*c.sWarning == '\0') {
            EXPECT_TRUE(aWarnings.empty()) << c.sWord;
        } else {
            ASSERT_EQ(aWarnings.size(), 1u) << c.sWord;
            EXPECT_NE(aWarnings.front().find(c.sWarning), std::string::npos) << aWarnings.front();
        }
    }
}
