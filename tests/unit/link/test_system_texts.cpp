// The system's values as texts: error numbers as the C library names them.
#include "link/uSystemTexts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

TEST(SystemTexts, ErrorTextsAreTheCLibrarys) {
    for (const int iError : {ENOENT, EACCES, EBUSY, EIO, ENOTTY, 0, 123456})
        EXPECT_EQ(ErrorText(iError), std::strerror(iError)) << iError;
}
