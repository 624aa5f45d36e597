// The link on any platform: ports that are not there are refused without leaving anything open.
#include "link/uRS232.h"

#include <gtest/gtest.h>

TEST(ComPort, AbsentPortsAreRefused) {
#ifdef _WIN32
    const char* sAbsent = "COM199";
#else
    const char* sAbsent = "/dev/kelvo-no-such-port";
#endif
    for (const std::string& s : {std::string(), std::string(sAbsent)}) {
        TPortHandle h = OpenComPort(s, 9600);
        EXPECT_FALSE(h) << "'" << s << "'";
        EXPECT_TRUE(CloseComPort(h)) << "closing an empty handle is harmless";
    }
}
