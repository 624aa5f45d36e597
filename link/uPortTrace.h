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

    // One trace line: "<ms> <port> <what> <text>". Called from any thread.
    void Line(const std::string& sPort, const std::string& sWhat, const std::string& sText);

private:
    std::mutex FMutex;
    std::FILE* FpFile;
    std::chrono::steady_clock::time_point FtStart;
};

// The bytes as the trace shows them: a HEX line as its text, anything else as hex byte pairs.
std::string TraceBytes(const std::uint8_t* pData, std::uint32_t iCount);
