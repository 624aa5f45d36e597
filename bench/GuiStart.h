// The operator's program as its entry builds it, for the start-up benchmarks: the main window and
// its secondary windows, shown, and a run that ends as soon as the event loop first goes idle.
#pragma once

#include "device/uKelvoCommThread.h"
#include "ui/uInitForms.h"
#include "ui/uMain.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QWindow>

#include <cstdio>
#include <memory>

// The program's entry up to the running event loop: application, worker class, main window,
// secondary windows, shown.
struct TProgram {
    TProgram(int& argc, char** argv) : app(argc, argv) {
        QApplication::setApplicationName("kelvo-firmware-update");
        CommThreadClass = CommThreadClassOf<TKelvoCommThread>();
        main = std::make_unique<TfrmMain>(TMainSettings{});
        frmMain = main.get();
        InitForms(*main);
        main->show();
    }
    QApplication app;
    std::unique_ptr<TfrmMain> main;
};

// Prints one line as soon as the event loop is about to wait with the main window exposed, and
// ends.
inline int StartChild(int argc, char** argv) {
    TProgram program(argc, argv);
    bool bDone = false;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     [&] {
                         const QWindow* pWindow = program.main->windowHandle();
                         if (bDone || pWindow == nullptr || !pWindow->isExposed())
                             return;
                         bDone = true;
                         std::printf("idle\n");
                         std::fflush(stdout);
                         QCoreApplication::exit(0);
                     });
    return QApplication::exec();
}
