// Text from outside the program (port names, file names, file contents, what the system tells)
// as it may be shown on a terminal or in a window, where control characters would act instead of
// being seen: an escape sequence can clear the screen or set the terminal's title, a carriage
// return hides what came before it.
#pragma once

#include <string>
#include <string_view>

// The length of the well-formed UTF-8 sequence at s[i], or, as a negative number, the length of
// its longest ill-formed start (at least 1).
int Utf8Sequence(std::string_view s, std::size_t i);

// s with every control character as "\xNN" in lower-case hex, byte by byte: C0 (below 0x20), DEL
// (0x7F) and C1 (U+0080 to U+009F, "\xc2\x9b" for U+009B, and a lone byte 0x80 to 0x9F that is not
// part of a UTF-8 sequence, which an 8-bit terminal takes for a control). Everything else is
// unchanged, other bytes that are not UTF-8 included.
std::string EscapeControlChars(std::string_view s);
