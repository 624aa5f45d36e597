// When a read of a serial line looks for its bytes: the pace that spares a wake-up for every byte
// without waiting for bytes that are already there.
#pragma once

#include <chrono>
#include <cstdint>

// Waits shorter than this are not taken: the read polls instead.
constexpr auto MinPaceWait = std::chrono::milliseconds(2);

// While bytes come at the line's pace (a real line, or a converter's packets no sooner than the
// line carried them), the last of n bytes cannot be there before n byte times after the first:
// a read may sleep until then. Whether the device keeps a pace is seen during its first longer
// reads. A device that sends no faster than the configured line keeps the line's pace. A device
// that is faster (a line driven faster than its configured rate, a simulator paced faster) has its
// own pace measured from its answers, so that a read neither sleeps past bytes that have arrived
// nor wakes for every byte. Bytes that come in bursts (a pseudo-terminal without pacing, a USB
// device that ignores the baud rate) are not waited for this way. Only when to look is decided
// here: every read still ends at its own time limit, and as soon as its last byte is there.
class TLinePace {
public:
    using TClock = std::chrono::steady_clock;

    // tByte: the configured line's time for one byte (ten bits); zero: never wait.
    explicit TLinePace(std::chrono::nanoseconds tByte) : FtLine(tByte), FtPace(tByte) {}

    // iCount bytes handed to the driver at tStart leave at the pace, after what is still leaving.
    void Written(TClock::time_point tStart, std::uint32_t iCount);

    // The first look of a read of iCount bytes that begins at tStart: from a device that keeps its
    // pace the whole answer cannot be there before the request and the answer have crossed (a
    // longer answer is looked at once before, to see that the device is not faster).
    TClock::time_point FirstLook(TClock::time_point tStart, std::uint32_t iCount) const;

    // A look at tNow found iDone of iCount bytes, the first iFirst of them found at tFirst: when
    // to look next (tNow or sooner: at once). Also learns the device's pace.
    TClock::time_point Found(TClock::time_point tFirst, std::uint32_t iFirst,
                             TClock::time_point tNow, std::uint32_t iDone, std::uint32_t iCount);

    bool KeepsPace() const { return FbKeepsPace; }
    std::chrono::nanoseconds Pace() const { return FtPace; }

private:
    std::chrono::nanoseconds FtLine;
    std::chrono::nanoseconds FtPace;    // the device's time for one byte, as far as known
    bool FbKeepsPace = false;           // the device was seen to send no faster than FtPace
    int FiPaceLooks = 0;                // looks taken at a measured pace before relying on it
    TClock::time_point FtLineFree{};    // when the bytes written have left
    TClock::time_point FtStalledRead{}; // the first look of a read whose sender stalled
};
