// The command-line conventions of the project's programs: long options "--name", "--name=value"
// and "--name value", short options "-x", "-x value" and "-xvalue", "--" to end the options, and
// every other argument as a word in its place.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct TOptionDef {
    const char* sLong; // the name after "--"
    char cShort;       // the letter after "-", or 0 for none
    bool bValue;       // the option takes a value
};

struct TParsedOption {
    std::string sName;  // the long name, also when the short form was given
    std::string sValue; // empty for an option without a value
};

struct TParsedArgs {
    std::vector<TParsedOption> aOptions; // in command-line order
    std::vector<std::string> aWords;     // the other arguments, in order
};

// A command line that breaks the conventions; what() says what and where, for the user.
class ECmdLine : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Parses aArgs (the arguments after the program's name) against aDefs. Throws ECmdLine for an
// unknown option, a missing value (the next argument is an option or "--": the value was
// forgotten), a next argument that begins with "-" and is not a negative number ("-" alone is a
// value; other values of that kind take the form --name=value), or a value given to an option
// that takes none.
TParsedArgs ParseCommandLine(const std::vector<std::string>& aArgs,
                             std::span<const TOptionDef> aDefs);

// How a number may be written: in decimal, or also in hexadecimal after "0x" or "0X".
enum class TNumberForm { Decimal, DecimalOrHex };

// s as a whole number from iMin to iMax: its digits and nothing else (no blank, no "+"; a "-"
// before decimal digits only where iMin is below 0). Nothing for anything else, a number out of
// the range included.
std::optional<std::int64_t> ParseNumber(std::string_view s, std::int64_t iMin, std::int64_t iMax,
                                        TNumberForm form = TNumberForm::Decimal);

// The decimal number that the option sOption ("--limit") was given in sValue, from iMin to iMax.
// Throws ECmdLine "--limit: 'x' is not a valid number (1 to 999999)" when it is not one.
std::int64_t NumberOption(std::string_view sOption, std::string_view sValue, std::int64_t iMin,
                          std::int64_t iMax);
