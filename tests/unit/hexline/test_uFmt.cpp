// printf-style formatting: whatever the length, the whole text.
#include "hexline/uFmt.h"

#include <gtest/gtest.h>

TEST(Fmt, FormatsTextsOfAnyLength) {
    EXPECT_EQ(Fmt("%s", ""), "");
    EXPECT_EQ(Fmt("%04d-%02d %s %c%%", 2026, 7, "COM3", 'x'), "2026-07 COM3 x%");
    // Longer than any fixed buffer a caller might have had in mind, with text after the long part.
    const std::string sLong(300, 'a');
    EXPECT_EQ(Fmt("port \"%s\" end %d", sLong.c_str(), 42), "port \"" + sLong + "\" end 42");
    const std::string sVeryLong(70000, 'b');
    EXPECT_EQ(Fmt("%s", sVeryLong.c_str()).size(), sVeryLong.size());
}
