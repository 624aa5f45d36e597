// Port devices announce themselves through the WM_DEVICECHANGE broadcast, which reaches every
// top-level window without registration.
#include "frontend/uPortList.h"
#include "ui/uDeviceChange.h"
#include "ui/uMain.h"

#include <windows.h>

#include <dbt.h>

bool IsPortChange(std::uintptr_t wParam, std::intptr_t lParam) {
    if (wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE)
        return false;
    const auto* pHeader = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    return pHeader != nullptr && pHeader->dbch_devicetype == DBT_DEVTYP_PORT;
}

void TfrmMain::StartDeviceChangeHook() {}

bool TfrmMain::nativeEvent(const QByteArray& eventType, void* pMessage, qintptr* pResult) {
    const auto* pMsg = static_cast<const MSG*>(pMessage);
    if (eventType == "windows_generic_MSG" && pMsg->message == WM_DEVICECHANGE &&
        IsPortChange(pMsg->wParam, pMsg->lParam)) {
        std::vector<std::string> aPorts;
        ListComPorts(aPorts, FsDevDir);
        HandleDeviceChange(aPorts);
    }
    return QMainWindow::nativeEvent(eventType, pMessage, pResult);
}
