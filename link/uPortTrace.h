// A trace of every transfer on the serial ports it wraps, in both directions, with the
// milliseconds since the trace began: what field support needs to see what went over the line.
#pragma once

#include "link/uCommThread.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

class TPortTrace {
public:
    // pFile: where the trace goes; not owned, and it must outlive every port the trace wraps.
    explicit TPortTrace(std::FILE* pFile);

    // An opener whose ports write their transfers to this trace.
    TPortOpener Wrap(TPortOpener openPort);

    // One trace line: "<ms> <port> <what> <text>". Called from any thread. A write that fails
    // (a full disk) ends the trace, never the update: later lines are dropped.
    void Line(const std::string& sPort, const std::string& sWhat, const std::string& sText);

    // Why the trace ended, the system's words, once: the first call after a failed write gives
    // it, every other call nothing.
    std::string TakeWriteError();

private:
    std::mutex FMutex;
    std::FILE* FpFile;
    bool FbFailed = false;
    std::string FsError; // not yet taken
    std::chrono::steady_clock::time_point FtStart;
};

// The bytes as the trace shows them: a HEX line as its text, anything else as hex byte pairs.
std::string TraceBytes(const std::uint8_t* pData, std::uint32_t iCount);
