// Outside text on a terminal: control characters are seen, not obeyed; letters stay letters.
#include "hexline/uShownText.h"

#include <gtest/gtest.h>

TEST(ShownText, ControlCharactersAreEscapedAndLettersKept) {
    const struct {
        std::string sText;
        const char* sShown;
    } aCases[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"\\\\.\\COM3", "\\\\.\\COM3"},
        {"x\x1b[2Jy", "x\\x1b[2Jy"},
        {"\x1b]0;pwn\a", "\\x1b]0;pwn\\x07"},
        {"ok\rhidden", "ok\\x0dhidden"},
        {std::string("a\0b\n\t\x7f", 6), "a\\x00b\\x0a\\x09\\x7f"},
        // C1 controls: U+009B (CSI) in UTF-8, and a lone 0x9B that an 8-bit terminal obeys.
        {"a\xC2\x9B"
         "2Jb",
         "a\\xc2\\x9b2Jb"},
        {"a\x9B"
         "2J",
         "a\\x9b2J"},
        // Letters, also those whose UTF-8 form holds a byte of the C1 range, and Latin-1 text.
        {"M\xC3\xBCller \xC5\x9B \xC2\xA0 \xE2\x82\xAC",
         "M\xC3\xBCller \xC5\x9B \xC2\xA0 \xE2\x82\xAC"},
        {"\xE9t\xE9", "\xE9t\xE9"},
        {"\xC5", "\xC5"},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(EscapeControlChars(c.sText), c.sShown) << c.sShown;
}
