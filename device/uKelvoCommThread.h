// The update of one Kelvo logger: identification and bootloader entry, hardware information,
// image selection, and the transfer of the selected image line by line with echo check.
#pragma once

#include "link/uCommThread.h"

#include <cstdint>

// Fixed codes of the logger family.
namespace Kelvo {
constexpr std::uint16_t AppClass = 26113;        // a logger running its application firmware
constexpr std::uint16_t BootClassBL = 51200;     // bootloader "BL": start and finish only
constexpr std::uint16_t BootClassBL2 = 51201;    // bootloader "BL2"
constexpr std::uint16_t BootClassBL3 = 51202;    // bootloader "BL3": block addresses
constexpr std::uint16_t PinnedAppVersion = 1416; // application 5.136

// A class that an identification reports while the bootloader runs.
constexpr bool IsBootloaderClass(std::uint16_t iClass) {
    return iClass == BootClassBL || iClass == BootClassBL2 || iClass == BootClassBL3;
}
} // namespace Kelvo

class TKelvoCommThread : public TCommThread {
public:
    using TCommThread::TCommThread;

    // Loggers with these serial numbers that run application 5.136 may only be given 5.136.
    static bool isPinnedSerial(std::uint32_t iSerial);

protected:
    void DoProcess() override;
};
