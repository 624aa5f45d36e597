#include "tests/gui/GuiSupport.h"

#include <QDir>

#include <fstream>

TOptionStore::TOptionStore(bool bInternal, long long iCode) {
    if (bInternal) {
        QDir(FDir.path()).mkpath("Orlenta");
        std::ofstream(FDir.filePath("Orlenta/Quarn.conf").toStdString())
            << "intern=" << iCode << "\n";
    }
    qputenv("XDG_CONFIG_HOME", FDir.path().toLocal8Bit());
}

TOptionStore::~TOptionStore() = default;
