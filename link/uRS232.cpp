#include "link/uRS232.h"

bool CloseComPort(TPortHandle& hPort) {
    if (!hPort)
        return true;
    const bool bOk = hPort->Close();
    hPort.reset();
    return bOk;
}
