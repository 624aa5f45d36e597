// The serial link to the logger: open the port in the one line configuration the protocol uses,
// and close it. Everything above reads and writes through TSerialPort and never reconfigures it.
#pragma once

#include "link/uPortReason.h"

#include <cstdint>
#include <memory>
#include <string>

// An open, configured serial port. Transfers are synchronous: a call returns when it is complete
// or its time limit has passed.
class TSerialPort {
public:
    virtual ~TSerialPort() = default;
    TSerialPort() = default;
    TSerialPort(const TSerialPort&) = delete;
    TSerialPort& operator=(const TSerialPort&) = delete;

    // Query and clear the port's error state. False when the system call fails.
    virtual bool ClearErrors() = 0;
    // Discard both the transmit and the receive queue. False when the system call fails.
    virtual bool Purge() = 0;
    // Write iCount bytes within iCount ms; iWritten tells how many went out. False when the
    // system call fails (a write that runs out of time is not a failure: iWritten is short).
    virtual bool Write(const std::uint8_t* pData, std::uint32_t iCount,
                       std::uint32_t& iWritten) = 0;
    // Read iCount bytes, giving up after iCount + 200 ms with what has arrived in iRead. False
    // when the system call fails.
    virtual bool Read(std::uint8_t* pData, std::uint32_t iCount, std::uint32_t& iRead) = 0;
    // Waits iMs, ending early when the device hangs up (a converter unplugged, the other end of
    // the line closed): false then, with the reason in LastError; true when the time has passed.
    // The default, for a port that cannot tell, only waits.
    virtual bool WaitUnlessHungUp(std::int32_t iMs);
    // Close the port; the platform's success flag. Closing twice is harmless.
    virtual bool Close() = 0;
    // Why the latest call that returned false failed, in the system's terms ("the device was
    // disconnected (Input/output error)"); empty when nothing is known.
    virtual std::string LastError() const { return {}; }
};

// The port handle: owns the open port; empty means that no port is open.
using TPortHandle = std::unique_ptr<TSerialPort>;

// Opens sPort exclusively at iBaud, 8 data bits, no parity, 1 stop bit, no flow control, RTS off
// and DTR on. On Windows the name is a port like COM3; on POSIX it is the device path. Returns an
// empty handle on every failure and leaves nothing open then; *psReason then says why, in the
// system's terms (no such device, in use and by whom, permission, not a serial device).
TPortHandle OpenComPort(const std::string& sPort, std::int32_t iBaud,
                        std::string* psReason = nullptr);

// Closes the port and empties the handle; the platform's success flag (true for an empty handle).
bool CloseComPort(TPortHandle& hPort);

// Makes sure the standard streams 0, 1 and 2 are open, on the null device where they were closed,
// so that a port opened later can never take the place of one: a closed standard error would
// otherwise send diagnostics into the logger's line. Every program calls it first thing in main,
// before it opens anything. False when the null device could not be opened in a closed one's place.
bool EnsureStandardStreams();
