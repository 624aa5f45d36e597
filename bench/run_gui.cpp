// The operator's program under the offscreen platform, each measurement in a child process of its
// own that builds the windows as the program's entry does:
//  (a) from the start of the process until the event loop first runs idle with the main window
//      shown (median of several starts);
//  (b) the peak resident set through a full update of image 9 against kelvo-logger-sim, unpaced,
//      in the internal mode so that the report window is shown and filled too.
#include "bench/GuiStart.h"
#include "tests/support/Process.h"

#include <QComboBox>
#include <QPushButton>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

namespace {

constexpr int StartRuns = 7;
constexpr double StartTargetMs = 300;
constexpr double RssTargetMb = 60;

// Child (b): types the port, presses "Update", answers the question and ends with the outcome.
int UpdateChild(int argc, char** argv, const std::string& sPort) {
    TProgram program(argc, argv);
    TfrmMain& w = *program.main;
    std::string sOutcome;
    w.OnConfirm = [](const std::string&) {
        return true;
    };
    w.OnResultBox = [&](const std::string& s) {
        sOutcome = s;
        QCoreApplication::exit(0);
    };
    w.cbxPort->setEditText(QString::fromStdString(sPort));
    QMetaObject::invokeMethod(w.btnProg, &QPushButton::click, Qt::QueuedConnection);
    QApplication::exec();
    std::printf("%s\n", sOutcome.c_str());
    return sOutcome.find("succesfully completed") != std::string::npos ? 0 : 1;
}

// This program again, as a child.
std::string Self() {
    return fs::read_symlink("/proc/self/exe").string();
}

std::vector<std::string> ChildEnv(const fs::path& configHome) {
    return {"XDG_CONFIG_HOME=" + configHome.string()};
}

double MeasureStart(const fs::path& dir) {
    const auto t0 = TClock::now();
    TProcess child({Self(), "--start-child"}, ChildEnv(dir / "normal"), dir / "start.out", true);
    const std::string sLine = child.FirstLine(10s);
    const double dMs = std::chrono::duration<double, std::milli>(TClock::now() - t0).count();
    if (child.Wait() != 0 || sLine != "idle")
        return -1;
    return dMs;
}

struct TUpdateRun {
    int iExit = -1;
    std::string sOutcome;
    double dWallS = 0;
    long iMaxRssKb = 0;
};

TUpdateRun MeasureUpdate(const fs::path& dir) {
    TUpdateRun r;
    TProcess sim({KELVO_SIM_EXE, "--preset", "entry9"}, {}, dir / "sim.out", true);
    const std::string sPort = sim.FirstLine(5s);
    if (sPort.empty())
        return r;
    const auto t0 = TClock::now();
    TProcess child({Self(), "--update-child", sPort}, ChildEnv(dir / "internal"),
                   dir / "update.out");
    rusage usage{};
    r.iExit = child.Wait(&usage);
    r.dWallS = std::chrono::duration<double>(TClock::now() - t0).count();
    r.iMaxRssKb = usage.ru_maxrss;
    const auto aOut = ReadLines(dir / "update.out");
    r.sOutcome = aOut.empty() ? "" : aOut.back();
    sim.Signal(SIGTERM);
    sim.Wait();
    return r;
}

} // namespace

int main(int argc, char** argv) {
    const std::string sMode = argc > 1 ? argv[1] : "";
    if (sMode == "--start-child" || sMode == "--update-child") {
        // The children run without a display, whatever the caller's environment says.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
        if (sMode == "--start-child")
            return StartChild(argc, argv);
        return argc > 2 ? UpdateChild(argc, argv, argv[2]) : 2;
    }

    const fs::path dir =
        fs::temp_directory_path() / ("kelvo-bench-gui-" + std::to_string(getpid()));
    fs::create_directories(dir / "normal");
    fs::create_directories(dir / "internal" / "Orlenta");
    std::ofstream(dir / "internal" / "Orlenta" / "Quarn.conf") << "intern=7315\n";

    std::vector<double> aStart;
    for (int i = 0; i < StartRuns; ++i)
        aStart.push_back(MeasureStart(dir));
    std::sort(aStart.begin(), aStart.end());
    const bool bStartOk = aStart.front() >= 0;
    const double dMedian = aStart[aStart.size() / 2];

    const TUpdateRun u = MeasureUpdate(dir);
    const double dRssMb = static_cast<double>(u.iMaxRssKb) / 1024.0;
    fs::remove_all(dir);

    std::printf("%-52s %10s %10s\n", "measure", "value", "target");
    std::printf("%-52s %7.1f ms %7.0f ms %s\n", "(a) start to idle main window, offscreen, median",
                dMedian, StartTargetMs, bStartOk && dMedian <= StartTargetMs ? "ok" : "MISSED");
    std::printf("    %d starts: min %.1f ms, max %.1f ms\n", StartRuns, aStart.front(),
                aStart.back());
    std::printf("%-52s %7.1f MB %7.0f MB %s\n", "(b) peak RSS through a full update, unpaced",
                dRssMb, RssTargetMb, u.iExit == 0 && dRssMb <= RssTargetMb ? "ok" : "MISSED");
    std::printf("    update: exit status %d in %.2f s: %s\n", u.iExit, u.dWallS,
                u.sOutcome.c_str());
    return bStartOk && dMedian <= StartTargetMs && u.iExit == 0 && dRssMb <= RssTargetMb ? 0 : 1;
}
