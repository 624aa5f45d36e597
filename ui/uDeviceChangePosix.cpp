// Port devices come and go as nodes of the device directory: a watch on it, reduced to a change
// of the list of USB serial ports.
#include "frontend/uPortList.h"
#include "ui/uDeviceChange.h"
#include "ui/uMain.h"

#include <QComboBox>
#include <QFileSystemWatcher>

bool IsPortChange(const std::vector<std::string>& aShown,
                  const std::vector<std::string>& aPresent) {
    return aShown != aPresent;
}

void TfrmMain::StartDeviceChangeHook() {
    auto* pWatch = new QFileSystemWatcher(this);
    pWatch->addPath(QString::fromStdString(FsDevDir));
    connect(pWatch, &QFileSystemWatcher::directoryChanged, this, [this] {
        std::vector<std::string> aPresent;
        ListComPorts(aPresent, FsDevDir);
        std::vector<std::string> aShown;
        for (int i = 0; i < cbxPort->count(); ++i)
            aShown.push_back(cbxPort->itemText(i).toStdString());
        if (IsPortChange(aShown, aPresent))
            HandleDeviceChange(aPresent);
    });
}
