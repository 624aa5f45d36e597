// When a serial read looks for its bytes, against devices on a simulated clock: no test here
// sleeps.
#include "link/uLinePace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

using TClock = TLinePace::TClock;
using std::chrono::nanoseconds;

// 9600 baud: the configured line's byte time.
constexpr nanoseconds LineByte(10'000'000'000LL / 9600);
constexpr std::uint32_t LineLength = 141; // a data line, and its echo

struct TRead {
    TClock::time_point tFirstLook;
    nanoseconds tLate; // from the answer's last byte to the look that found it
    int iWakes = 0;    // looks after a sleep or a poll
};

// A device that answers a request of n bytes with n bytes at tByte a byte: the answer begins once
// the last byte of the request has crossed, its first byte tStall late.
std::vector<TClock::time_point> Answer(TClock::time_point t, std::uint32_t n, nanoseconds tByte,
                                       nanoseconds tStall = {}) {
    std::vector<TClock::time_point> a;
    for (std::uint32_t k = 1; k <= n; ++k)
        a.push_back(t + tByte * (n + k) + (k > 1 ? tStall : nanoseconds{}));
    return a;
}

// One exchange as the port does it: the request written at t, then a read that sleeps until the
// looks the pace asks for (waits under MinPaceWait are not taken) and otherwise polls, which wakes
// it when the next byte arrives.
TRead Exchange(TLinePace& pace, TClock::time_point t, const std::vector<TClock::time_point>& a) {
    const auto n = static_cast<std::uint32_t>(a.size());
    pace.Written(t, n);
    TRead r;
    auto tLook = r.tFirstLook = pace.FirstLook(t, n);
    if (tLook - t < MinPaceWait)
        tLook = t;
    else
        ++r.iWakes;
    std::uint32_t iDone = 0;
    std::optional<TClock::time_point> tFirst;
    std::uint32_t iFirst = 0;
    for (;;) {
        const auto iNow =
            static_cast<std::uint32_t>(std::upper_bound(a.begin(), a.end(), tLook) - a.begin());
        if (iNow == iDone) {
            tLook = a[iDone];
            ++r.iWakes;
            continue;
        }
        iDone = iNow;
        if (!tFirst) {
            tFirst = tLook;
            iFirst = iDone;
        }
        const auto tNext = pace.Found(*tFirst, iFirst, tLook, iDone, n);
        if (iDone == n) {
            r.tLate = tLook - a.back();
            return r;
        }
        if (tNext - tLook >= MinPaceWait) {
            tLook = tNext;
            ++r.iWakes;
        }
    }
}

} // namespace

// A device that sends faster than the configured line (a simulator paced at 96000 baud on a port
// set to 9600): once its first answers are seen, every read ends when its last byte arrives
// instead of sleeping for bytes already there, and wakes for only the last few bytes (those due
// within MinPaceWait), not for every byte.
TEST(LinePace, AFasterDeviceIsReadAtItsOwnPace) {
    for (const int iBaud : {96000, 57600, 19200}) {
        SCOPED_TRACE(iBaud);
        const nanoseconds tByte(10'000'000'000LL / iBaud);
        TLinePace pace(LineByte);
        auto t = TClock::time_point{} + std::chrono::seconds(1);
        for (int i = 0; i < 40; ++i) {
            const TRead r = Exchange(pace, t, Answer(t, LineLength, tByte));
            // The first read learns that the device is faster; from the second on none is late,
            // and once its pace is measured a read wakes little.
            if (i > 0) {
                EXPECT_LT(r.tLate, tByte) << "read " << i;
            }
            if (i > 5) {
                EXPECT_LE(r.iWakes, 20) << "read " << i;
            }
            t += tByte * 2 * LineLength + std::chrono::milliseconds(1);
        }
        EXPECT_TRUE(pace.KeepsPace());
        EXPECT_LE(pace.Pace(), tByte);
    }
}

// A device at the configured line's pace (a real logger at 9600 baud): its first long read takes
// the pace at the look 16 byte times after the first byte; every later read looks once when 16
// bytes of the answer can be there, then when all but the last can, and ends with the last.
TEST(LinePace, ADeviceAtTheLinesPaceIsReadInFewLooks) {
    TLinePace pace(LineByte);
    auto t = TClock::time_point{} + std::chrono::seconds(1);
    const auto aFirst = Answer(t, LineLength, LineByte);
    pace.Written(t, LineLength);
    EXPECT_EQ(pace.FirstLook(t, LineLength), t);
    const auto tProbe = aFirst.front() + LineByte * 16;
    EXPECT_EQ(pace.Found(aFirst.front(), 1, aFirst.front(), 1, LineLength), tProbe);
    EXPECT_FALSE(pace.KeepsPace());
    EXPECT_EQ(pace.Found(aFirst.front(), 1, tProbe, 17, LineLength),
              tProbe + LineByte * (LineLength - 17 - 1));
    EXPECT_TRUE(pace.KeepsPace());
    EXPECT_EQ(pace.Pace(), LineByte);

    t = aFirst.back() + std::chrono::milliseconds(5);
    for (int i = 0; i < 5; ++i) {
        const TRead r = Exchange(pace, t, Answer(t, LineLength, LineByte));
        EXPECT_EQ(r.tFirstLook, t + LineByte * (LineLength + 16));
        EXPECT_EQ(r.iWakes, 3);
        EXPECT_EQ(r.tLate, nanoseconds{});
        t += LineByte * 2 * LineLength + std::chrono::milliseconds(5);
    }
}

// A sender that stalls during the first look at its pace (descheduled on a busy machine) is not
// taken as keeping the configured line's pace: that would pace every later read at 9600 baud
// however fast the device is.
TEST(LinePace, AStallDuringTheFirstLookIsNotTakenAsThePace) {
    const nanoseconds tByte(10'000'000'000LL / 96000);
    TLinePace pace(LineByte);
    auto t = TClock::time_point{} + std::chrono::seconds(1);
    Exchange(pace, t, Answer(t, LineLength, tByte, std::chrono::milliseconds(20)));
    EXPECT_FALSE(pace.KeepsPace());
    for (int i = 0; i < 20; ++i) {
        t += std::chrono::milliseconds(100);
        const TRead r = Exchange(pace, t, Answer(t, LineLength, tByte));
        if (i > 0) {
            EXPECT_LT(r.tLate, tByte) << "read " << i;
        }
    }
}

// A faster device whose first long answer came at the configured line's pace (starved of the
// processor while many updates start at once) is taken at that pace, then seen to be faster: the
// reads after it follow its own pace instead of waiting 9600 baud's time for every line.
TEST(LinePace, AFasterDeviceTakenAtTheLinesPaceIsReadAtItsOwnAfterwards) {
    const nanoseconds tByte(10'000'000'000LL / 96000);
    TLinePace pace(LineByte);
    auto t = TClock::time_point{} + std::chrono::seconds(1);
    Exchange(pace, t, Answer(t, LineLength, LineByte));
    ASSERT_TRUE(pace.KeepsPace());
    for (int i = 0; i < 20; ++i) {
        t += std::chrono::milliseconds(300);
        const TRead r = Exchange(pace, t, Answer(t, LineLength, tByte));
        if (i > 1) {
            EXPECT_LT(r.tLate, tByte) << "read " << i;
        }
    }
    EXPECT_LT(pace.Pace(), LineByte);
}
