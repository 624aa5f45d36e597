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

TEST(CmdLine, NumbersAreWholeAndInTheirRange) {
    using enum TNumberForm;
    const std::optional<std::int64_t> None;
    const struct {
        const char* s;
        std::int64_t iMin;
        std::int64_t iMax;
        TNumberForm form;
        std::optional<std::int64_t> iExpected;
    } aCases[] = {
        {"0", 0, 9999, Decimal, 0},
        {"9999", 0, 9999, Decimal, 9999},
        {"007", 1, 9999, Decimal, 7},
        {"10000", 0, 9999, Decimal, None},
        {"0", 1, 999, Decimal, None},
        {"4294967295", 0, 0xFFFFFFFF, Decimal, 0xFFFFFFFF},
        {"4294967296", 0, 0xFFFFFFFF, Decimal, None},
        {"99999999999999999999", 0, INT64_MAX, Decimal, None}, // beyond 64 bits
        // Only the digits: nothing around them, no sign that the range does not allow.
        {"", 0, 9, Decimal, None},
        {" 5", 0, 9, Decimal, None},
        {"5 ", 0, 9, Decimal, None},
        {"+5", 0, 9, Decimal, None},
        {"5x", 0, 9, Decimal, None},
        {"1e3", 0, 9999, Decimal, None},
        {"2.5", 0, 9, Decimal, None},
        {"-1", 0, 9999, Decimal, None},
        {"-0", 0, 9999, Decimal, None},
        {"-5", -10, 10, Decimal, -5},
        {"-11", -10, 10, Decimal, None},
        // Hexadecimal only where the form allows it.
        {"0x1F", 0, 0xFFFF, Decimal, None},
        {"0x1F", 0, 0xFFFF, DecimalOrHex, 31},
        {"0XfF", 0, 0xFFFF, DecimalOrHex, 255},
        {"10", 0, 0xFFFF, DecimalOrHex, 10},
        {"0x10000", 0, 0xFFFF, DecimalOrHex, None},
        {"0x", 0, 0xFFFF, DecimalOrHex, None},
        {"0x-1", -10, 10, DecimalOrHex, None},
        {"0x 1", 0, 0xFFFF, DecimalOrHex, None},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(ParseNumber(c.s, c.iMin, c.iMax, c.form), c.iExpected) << "'" << c.s << "'";

    EXPECT_EQ(NumberOption("--limit", "20", 1, 999999), 20);
    for (const char* s : {"0", "x", "1000000", "-1", ""}) {
        try {
            NumberOption("--limit", s, 1, 999999);
            ADD_FAILURE() << s;
        } catch (const ECmdLine& e) {
            EXPECT_EQ(e.what(),
                      "--limit: '" + std::string(s) + "' is not a valid number (1 to 999999)");
        }
    }
}
