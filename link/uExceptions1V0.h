// EQuarn carries a status code from any depth of the worker to its top, where it becomes the
// update's final notification.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

class EQuarn : public std::runtime_error {
public:
    explicit EQuarn(std::int32_t iExc) : std::runtime_error(""), iException(iExc) {}
    EQuarn(std::int32_t iExc, const std::string& sMsg)
        : std::runtime_error(sMsg), iException(iExc) {}
    EQuarn(std::int32_t iExc, const char* sMsg) : std::runtime_error(sMsg), iException(iExc) {}
    // The message is the decimal text of iInfo.
    EQuarn(std::int32_t iExc, std::int32_t iInfo)
        : std::runtime_error(std::to_string(iInfo)), iException(iExc) {}

    std::int32_t iException;
};

// Status codes (EQuarn::iException), the one vocabulary for how an update ends.
namespace Status {
constexpr std::int32_t PortNotReady = 10;     // the port could not be opened and configured
constexpr std::int32_t PortIoError = 11;      // a serial system call failed; message names it
constexpr std::int32_t Cancelled = 20;        // the cancel flag was seen before an attempt
constexpr std::int32_t NoAnswer = 30;         // five attempts without a valid answer
constexpr std::int32_t WrongLogger = 40;      // not a supported logger, or no bootloader entry
constexpr std::int32_t LoggerException = 41;  // the logger flagged an exception in its answer
constexpr std::int32_t BadLastLine = 42;      // the image has no proper end-of-file line
constexpr std::int32_t BadImageLine = 43;     // a line of the image does not decode
constexpr std::int32_t EchoMismatch = 44;     // the logger's echo differed from the line sent
constexpr std::int32_t WrongClassAfter = 45;  // after the restart the class is not the image's
constexpr std::int32_t BadHardwareReply = 46; // platform or update-ID reply missing or malformed
constexpr std::int32_t NoFittingImage = 47;   // no catalogue image fits the logger
constexpr std::int32_t InfoOnly = 70;         // stopped after reading the information, by request
} // namespace Status
