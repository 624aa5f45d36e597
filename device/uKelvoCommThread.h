// The update of one Kelvo logger: identification and bootloader entry, hardware information,
// image selection, and the transfer of the selected image line by line with echo check.
#pragma once

#include "device/uKelvoWire.h"
#include "firmware/uFWVersions.h"
#include "link/uCommThread.h"

#include <cstdint>

class TKelvoCommThread : public TCommThread {
public:
    using TCommThread::TCommThread;

    // Loggers with these serial numbers that run application 5.136 may only be given 5.136.
    static bool isPinnedSerial(std::uint32_t iSerial);

protected:
    void DoProcess() override;

private:
    struct TLogger; // what the steps learn about the logger

    // The steps of DoProcess, in their order.
    bool Identify(TLogger& logger, bool bFirst);
    void EnterBootloader();
    void ReadHardware(TLogger& logger);
    void RecallEarlierRun(TLogger& logger);
    bool PinConfirmed(std::int32_t iSerial);
    TBl3FileHeader SelectImage(const TLogger& logger);
    void TransferImage(const TLogger& logger);
    void RestartAndConfirm(const TLogger& logger, const TBl3FileHeader& header);
};
