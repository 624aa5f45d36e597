// Windows: the port box lists the registry's USB serial ports and is refilled when the system
// broadcasts WM_DEVICECHANGE for a port; every window hands the program's icon to the system.
// Needs the windows platform (real window handles), so it runs under Wine on an X display.
#include "tests/gui/GuiSupport.h"
#include "ui/uInfo.h"
#include "ui/uMessage.h"
#include "ui/uProtocol.h"

#include <QComboBox>
#include <QMessageBox>
#include <QTest>

#include <windows.h>

#include <dbt.h>

namespace {

constexpr const wchar_t* SerialComm = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// One value of the registry's port list for the test's time.
class TRegistryPort {
public:
    TRegistryPort(const wchar_t* sDevice, const wchar_t* sCom) : FsDevice(sDevice) {
        HKEY hKey = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, SerialComm, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &hKey, nullptr) != ERROR_SUCCESS)
            return;
        ::RegSetValueExW(hKey, sDevice, 0, REG_SZ, reinterpret_cast<const BYTE*>(sCom),
                         static_cast<DWORD>((wcslen(sCom) + 1) * sizeof(wchar_t)));
        ::RegCloseKey(hKey);
    }
    ~TRegistryPort() { Remove(); }
    TRegistryPort(const TRegistryPort&) = delete;
    TRegistryPort& operator=(const TRegistryPort&) = delete;
    void Remove() {
        HKEY hKey = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, SerialComm, 0, KEY_SET_VALUE, &hKey) ==
            ERROR_SUCCESS) {
            ::RegDeleteValueW(hKey, FsDevice);
            ::RegCloseKey(hKey);
        }
    }

private:
    const wchar_t* FsDevice;
};

// What the system sends when a port device arrives or leaves.
void BroadcastPortChange(QWidget& w, WPARAM iEvent) {
    DEV_BROADCAST_HDR header{};
    header.dbch_size = sizeof header;
    header.dbch_devicetype = DBT_DEVTYP_PORT;
    ::SendMessageW(reinterpret_cast<HWND>(w.winId()), WM_DEVICECHANGE, iEvent,
                   reinterpret_cast<LPARAM>(&header));
}

} // namespace

class TestPortNotice : public QObject {
    Q_OBJECT
private slots:
    void refillsAndKeepsTheText();
    void windowsShowTheProgramIcon();
};

void TestPortNotice::refillsAndKeepsTheText() {
    TOptionStore store(false);
    TRegistryPort first(L"\\Device\\VCP7", L"COM7");
    TRig rig;
    TfrmMain& w = *rig.main;
    QVERIFY(w.cbxPort->findText("COM7") >= 0);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.cbxPort->setEditText("typed");

    // A port arrives: the list is refilled, the text stays.
    TRegistryPort second(L"\\Device\\VCP8", L"COM8");
    BroadcastPortChange(w, DBT_DEVICEARRIVAL);
    QTRY_VERIFY(w.cbxPort->findText("COM8") >= 0);
    QCOMPARE(w.cbxPort->currentText(), "typed");
    w.cbxPort->hidePopup();

    // A device that is no port: nothing changes.
    const int iCount = w.cbxPort->count();
    second.Remove();
    DEV_BROADCAST_HDR volume{};
    volume.dbch_size = sizeof volume;
    volume.dbch_devicetype = DBT_DEVTYP_VOLUME;
    ::SendMessageW(reinterpret_cast<HWND>(w.winId()), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                   reinterpret_cast<LPARAM>(&volume));
    QTest::qWait(50);
    QCOMPARE(w.cbxPort->count(), iCount);

    // The port leaves.
    BroadcastPortChange(w, DBT_DEVICEREMOVECOMPLETE);
    QTRY_VERIFY(w.cbxPort->findText("COM8") < 0);
    QCOMPARE(w.cbxPort->currentText(), "typed");
}

void TestPortNotice::windowsShowTheProgramIcon() {
    // The icon that the title bar and the taskbar show is the one the window gives the system;
    // without one, Windows shows its generic icon.
    TOptionStore store(false);
    TRig rig;
    QMessageBox box(QMessageBox::Information, "t", "t"); // like the result boxes: no parent
    QWidget* const aWindows[] = {rig.main.get(), frmProtocol, frmMessage, frmInfo, &box};
    for (QWidget* w : aWindows) {
        // The native window, as showing it would make it.
        const auto hWnd = reinterpret_cast<HWND>(w->winId());
        for (const WPARAM iSize : {ICON_SMALL, ICON_BIG})
            QVERIFY2(::SendMessageW(hWnd, WM_GETICON, iSize, 0) != 0,
                     qPrintable(w->metaObject()->className()));
    }
}

QTEST_MAIN(TestPortNotice)
#include "test_port_notice_win32.moc"
