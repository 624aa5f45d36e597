#include "link/uLinePace.h"

#include <algorithm>

namespace {

// Bytes that a look may find beyond what the pace could have carried since the first byte, and
// still count as coming at that pace (a wake-up that came a little late finds a few more).
constexpr std::uint32_t PaceSlack = 8;
// Byte times after its first byte at which a read looks whether the bytes come at the pace.
constexpr std::uint32_t PaceProbe = 16;
// Looks at a measured pace before reads rely on it. Each lowers the pace to what it proves (a
// byte not there yet at the look takes longer); a look while the sender stalled proves less and
// changes nothing, so one quiet look among them is enough.
constexpr int MeasuredLooks = 4;

} // namespace

void TLinePace::Written(TClock::time_point tStart, std::uint32_t iCount) {
    FtLineFree = std::max(FtLineFree, tStart) + FtPace * iCount;
}

TLinePace::TClock::time_point TLinePace::FirstLook(TClock::time_point tStart,
                                                   std::uint32_t iCount) const {
    if (!FbKeepsPace)
        return tStart;
    // A longer answer is looked at once early, when PaceProbe of its bytes can be there: a device
    // that has sent more by then is faster than the pace taken (one taken during a stall, say),
    // and is not read at that pace any longer.
    auto tLook = FtLineFree + FtPace * iCount + FtPace / 4;
    if (iCount > PaceProbe + PaceSlack)
        tLook = std::min(tLook, FtLineFree + FtPace * PaceProbe);
    return std::max(tStart, tLook);
}

TLinePace::TClock::time_point TLinePace::Found(TClock::time_point tFirst, std::uint32_t iFirst,
                                               TClock::time_point tNow, std::uint32_t iDone,
                                               std::uint32_t iCount) {
    if (FtPace.count() == 0)
        return tNow;
    // More bytes than the pace can have carried since the request left: the device is faster
    // than the pace taken, which is looked at again.
    const bool bFaster =
        FbKeepsPace &&
        (tNow <= FtLineFree ? iDone > PaceSlack : iDone > (tNow - FtLineFree) / FtPace + PaceSlack);
    // An answer is coming: the request has left, however slow the pace was thought to be.
    FtLineFree = std::min(FtLineFree, tFirst);
    if (bFaster) {
        FbKeepsPace = false;
        FiPaceLooks = 0;
        return tNow;
    }
    // The bytes still missing but the last cannot be there before their byte times; the last one
    // is left to poll, so that a sender a little faster costs nothing.
    const auto tRest = [&] {
        return iDone < iCount ? tNow + FtPace * (iCount - iDone - 1) : tNow;
    };
    if (FbKeepsPace)
        return tRest();
    // A burst from the start: no pace to see.
    if (iFirst > PaceSlack)
        return tNow;
    const std::uint32_t iSpan = iDone - iFirst;
    const auto tSpan = tNow - tFirst;
    const auto iCarried = static_cast<std::uint64_t>(tSpan / FtPace);
    if (iSpan > iCarried + PaceSlack) {
        // Faster than the pace taken so far: these bytes came within tSpan, so the device's byte
        // time is at most tSpan / iSpan, and the next reads look that much sooner.
        if (iSpan >= PaceProbe)
            FtPace = std::max(std::min(FtPace, tSpan / iSpan), std::chrono::nanoseconds(1));
        return tNow;
    }
    const auto tProbe = tFirst + FtPace * PaceProbe;
    if (tNow < tProbe || iDone == iCount || tFirst == FtStalledRead)
        return std::min(tFirst + FtPace * (iCount - iFirst) + FtPace / 4, tProbe);
    // Fewer bytes than the pace carried in the time is a sender that stalled (descheduled on a
    // busy machine, say), not one that keeps the pace; the bytes after the stall would seem to
    // come at any slower pace, so this read decides nothing and a later one looks again.
    if (iSpan + PaceSlack < iCarried) {
        FtStalledRead = tFirst;
        return tNow;
    }
    if (FtPace == FtLine) {
        FbKeepsPace = true;
        return tRest();
    }
    // A measured pace: byte iDone + 1 is not there yet, so it takes longer than this.
    FtPace = std::max(std::min(FtPace, tSpan / (iSpan + 1)), std::chrono::nanoseconds(1));
    FbKeepsPace = ++FiPaceLooks >= MeasuredLooks;
    return tRest();
}
