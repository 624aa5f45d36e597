#include "link/uRS232.h"

#include <chrono>
#include <thread>

bool TSerialPort::WaitUnlessHungUp(std::int32_t iMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(iMs));
    return true;
}

bool CloseComPort(TPortHandle& hPort) {
    if (!hPort)
        return true;
    const bool bOk = hPort->Close();
    hPort.reset();
    return bOk;
}
