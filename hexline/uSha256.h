// SHA-256 of a byte string: the check that a firmware file handed from one process to another
// arrived as it was read.
#pragma once

#include <string>
#include <string_view>

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view sData);
