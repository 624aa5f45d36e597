// Hardware designations: the names of class, platform and print codes, and the checks that turn
// a code missing from its table into 0xFFFF.
#pragma once

#include <cstdint>
#include <string>

// No valid code, wherever a code is passed or returned.
constexpr std::uint16_t NoCode = 0xFFFF;

// The display name of a class; classes 26135 and 26145 depend on the print code (0xFFFF when
// there is none). "?" for a class without an entry.
std::string GetClassName(std::uint16_t iClass, std::uint16_t iPrint);
std::string GetPlatformName(std::uint16_t iPlatform);
std::string GetPrintName(std::uint16_t iPrint);

// The code itself when its table has it, else 0xFFFF.
std::uint16_t CheckClass(std::uint16_t iClass);
std::uint16_t CheckPlatform(std::uint16_t iPlatform);
std::uint16_t CheckPrint(std::uint16_t iPrint);
