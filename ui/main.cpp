// kelvo-firmware-update: the operator's program for updating the firmware of a Kelvo logger.
#include "cmdline/uMainGuard.h"
#include "device/uKelvoCommThread.h"
#include "frontend/uStartupOptions.h"
#include "link/uRS232.h"
#include "uVersionInfo.h"
#include "ui/uConsole.h"
#include "ui/uHistoryWindow.h"
#include "ui/uInitForms.h"
#include "ui/uMain.h"
#include "ui/uStationWindow.h"

#include <QApplication>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace {

constexpr const char* Usage =
    R"(Usage: kelvo-firmware-update [key:value ...] [Qt options]
The operator's program for updating the firmware of a Kelvo data logger over its USB serial port.

Start-up options (key:value):
  mf:+            the update clears the measurements (the question before the update says so)
  cc:- cf:- cp:-  internal mode: relax the class, family or platform check
  f:+             internal mode: firmware files ("File", "File version")

  --history       show only the history window: the update journal's runs
  --station       open only the workshop station: it updates every logger plugged in
  --yes           with --station: start at once, the question before the updates answered
                  with yes (an unattended bench)
  --version, -V   print the version and exit
  --help, -h      print this text and exit

Qt's own options, such as -platform NAME or -style NAME, are taken by Qt.
)";

// --help and --version answer before Qt starts, so they need neither a display nor Qt's
// platform plugins. Returns true when one of them was answered.
bool AnswerInfoOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            AttachParentConsole();
            std::cout << Usage << std::flush;
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
            AttachParentConsole();
            std::cout << "kelvo-firmware-update " << KelvoVersion << std::endl;
            return true;
        }
    }
    return false;
}

int RunProgram(int argc, char** argv) {
    if (!EnsureStandardStreams())
        return 1;
    if (AnswerInfoOption(argc, argv))
        return std::cout ? 0 : 1; // 1 when the answer could not be written
    // Without a display Qt would abort with a message about its plugins; the operator gets one
    // line and the way out instead.
    if (!DisplayReachable(argc, argv)) {
        std::cerr << "kelvo-firmware-update: no display: set DISPLAY, or use kelvo-update"
                  << std::endl;
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName("kelvo-firmware-update");

    // The journal's history alone: no port, no update.
    if (QCoreApplication::arguments().contains("--history")) {
        QApplication::setWindowIcon(ProgramIcon());
        TfrmHistory historyWindow;
        frmHistory = &historyWindow;
        historyWindow.show();
        return QApplication::exec();
    }

    CommThreadClass = CommThreadClassOf<TKelvoCommThread>();

    TMainSettings settings = ProgramSettings();
    const auto take = [&](const char* sOption) {
        const auto it = std::find(settings.aParams.begin(), settings.aParams.end(), sOption);
        if (it == settings.aParams.end())
            return false;
        settings.aParams.erase(it);
        return true;
    };
    const bool bStation = take("--station");
    const bool bYes = take("--yes");
    if (bStation) {
        ReadStartupOptions(settings.aParams, IsInternalMode());
        TStationWindowSettings station;
        station.aParams = settings.aParams;
        station.sDevDir = settings.sDevDir;
        station.bYes = bYes;
        TfrmStation stationWindow(std::move(station));
        stationWindow.show();
        if (bYes)
            stationWindow.StartStation();
        return QApplication::exec();
    }

    TfrmMain mainWindow(std::move(settings));
    frmMain = &mainWindow;
    InitForms(mainWindow);
    mainWindow.show();
    return QApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    return GuardMain(
        "kelvo-firmware-update", [&] { return RunProgram(argc, argv); },
        [](const std::string& sLine) {
            AttachParentConsole();
            std::cerr << sLine << std::endl;
        });
}
