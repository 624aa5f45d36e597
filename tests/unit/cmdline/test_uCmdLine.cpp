// The command-line conventions shared by the programs.
#include "cmdline/uCmdLine.h"

#include <gtest/gtest.h>

namespace {

constexpr TOptionDef aDefs[] = {
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
        EXPECT_EQ(Shown(ParseCommandLine(c.aArgs, aDefs)), c.sParsed) << c.sParsed;
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
            ParseCommandLine(c.aArgs, aDefs);
            ADD_FAILURE() << c.sError;
        } catch (const ECmdLine& e) {
            EXPECT_STREQ(e.what(), c.sError);
        }
    }
}
