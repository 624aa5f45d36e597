// The workshop station (kelvo-update --watch) under load, against simulated loggers whose port
// names appear in a device folder of the benchmark's own, as USB serial converters' do in /dev:
//  (a) one update paced at 96000 baud by kelvo-update --port: the yardstick;
//  (b) the station idle with no logger: its wake-ups a second (the context switches of all its
//      threads, voluntary and not, over ten seconds);
//  (c) 32 loggers paced at 96000 baud plugged in within a second: the time until their updates
//      have ended against (a), from the last plug (all 32 there) and from the first;
//  (d) the station's resident set after N and after 2N finished updates (unpaced loggers, 32 at a
//      time, unplugged and plugged in again under the same names): what each finished update
//      adds, which must stay constant (nothing kept per update beyond a bounded record).
// The updates record their runs in a journal of the benchmark's own.
#include "bench/BenchSupport.h"
#include "tests/support/Process.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;
using bench::LoadAverage;
using bench::RssKb;
using bench::Seconds;
using bench::StartLoggers;
using bench::WaitFor;

namespace {

constexpr int Loggers = 32;
constexpr auto Idle = 10s;
// Finished updates before the first memory reading: more than the station keeps in full (100),
// so that its record has reached its bound.
constexpr int MemoryUpdates = 128;

fs::path PortName(const fs::path& devDir, int i) {
    return devDir / ("ttyUSB" + std::to_string(i));
}

// The loggers plugged in one after another within tSpread: their port names made.
void Plug(const std::vector<std::unique_ptr<TSimProcess>>& aSims, const fs::path& devDir,
          TClock::duration tSpread) {
    bench::PlugWithin(
        aSims, [&](int i) { return PortName(devDir, i); }, tSpread);
}

// The JSON lines of a station's output that carry event sEvent.
int Events(const fs::path& out, const std::string& sEvent) {
    const std::string sKey = "\"event\":\"" + sEvent + "\"";
    int n = 0;
    for (const std::string& s : ReadLines(out))
        n += s.find(sKey) != std::string::npos ? 1 : 0;
    return n;
}

std::vector<std::string> Env(const fs::path& dir) {
    return {"KELVO_DEV_DIR=" + (dir / "dev").string(),
            "KELVO_JOURNAL=" + (dir / "journal.sqlite3").string(),
            "XDG_CONFIG_HOME=" + (dir / "config").string()};
}

} // namespace

int main(int argc, char** argv) {
    // The pace of the paced loggers: --baud N (default 96000, which keeps the run short);
    // --memory: (d) only.
    std::string sBaud = "96000";
    bool bMemoryOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string s = argv[i];
        if (s == "--baud" && i + 1 < argc) {
            sBaud = argv[++i];
        } else if (s == "--memory") {
            bMemoryOnly = true;
        } else {
            std::fprintf(stderr, "usage: %s [--baud N] [--memory]\n", argv[0]);
            return 2;
        }
    }
    const char* PacedBaud = sBaud.c_str();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const fs::path dir = fs::temp_directory_path() / ("kelvo-bench-st-" + std::to_string(getpid()));
    const fs::path devDir = dir / "dev";
    fs::create_directories(devDir);
    fs::create_directories(dir / "config");
    bool bOk = true;
    const auto row = [&](const char* sName, double dValue, const char* sUnit, double dTarget,
                         bool bMet) {
        std::printf("%-52s %9.3f %-2s %8.3f %-2s %s\n", sName, dValue, sUnit, dTarget, sUnit,
                    bMet ? "ok" : "MISSED");
        bOk = bOk && bMet;
    };
    std::printf("load average at the start: %s\n", LoadAverage().c_str());

    // (a) One paced update: the yardstick.
    double dOneS = 0;
    if (!bMemoryOnly) {
        const auto aSims = StartLoggers(dir, {"--baud", PacedBaud}, 1);
        const auto t0 = TClock::now();
        TProcess cli({KELVO_UPDATE_EXE, "--yes", "--quiet", "--port", aSims.front()->sPort},
                     Env(dir), dir / "one.out");
        const int iExit = cli.Wait();
        dOneS = Seconds(TClock::now() - t0);
        std::printf("(a) one update paced at %s baud: %.2f s (exit status %d)\n", PacedBaud, dOneS,
                    iExit);
        if (iExit != 0)
            bOk = false;
    }

    // (b) and (c): the idle station, then 32 paced loggers.
    if (!bMemoryOnly) {
        const auto aSims = StartLoggers(dir, {"--baud", PacedBaud}, Loggers);
        TProcess station(
            {KELVO_UPDATE_EXE, "--watch", "--yes", "--quiet", "--count", std::to_string(Loggers)},
            Env(dir), dir / "station.out");
        // Settled first: the start and its first list are not idling.
        std::this_thread::sleep_for(1s);
        const long iBefore = bench::ContextSwitches(station.Pid(), true);
        std::this_thread::sleep_for(Idle);
        const double dWakes =
            static_cast<double>(bench::ContextSwitches(station.Pid(), true) - iBefore) /
            static_cast<double>(Idle.count());
        std::printf("(b) station idle for %lld s, resident set %ld kB\n",
                    static_cast<long long>(Idle.count()), RssKb(station.Pid()));
        row("(b) station idle: wake-ups a second", dWakes, "", 1.3, dWakes <= 1.3);

        const auto tFirst = TClock::now();
        Plug(aSims, devDir, 1s);
        const auto tLast = TClock::now();
        if (!WaitFor([&] { return Ended(station.Pid()); }, 10min)) {
            std::printf("(c) the station did not end within ten minutes\n");
            station.Signal(SIGKILL);
        }
        const int iExit = station.Wait();
        const auto tEnd = TClock::now();
        std::printf("(c) %d loggers paced at %s baud plugged in within %.2f s: done %.2f s after "
                    "the last plug, %.2f s after the first (exit status %d)\n",
                    Loggers, PacedBaud, Seconds(tLast - tFirst), Seconds(tEnd - tLast),
                    Seconds(tEnd - tFirst), iExit);
        if (iExit != 0)
            bOk = false;
        if (dOneS > 0) {
            std::printf("%-52s %9.3f\n", "(c) 32 at once from the first plug / one update",
                        Seconds(tEnd - tFirst) / dOneS);
            row("(c) 32 at once from the last plug / one update", Seconds(tEnd - tLast) / dOneS, "",
                1.05, Seconds(tEnd - tLast) / dOneS <= 1.05);
        }
        for (int i = 0; i < Loggers; ++i)
            fs::remove(PortName(devDir, i));
    }

    // (d) Memory per finished update: rounds of 32 unpaced loggers, each unplugged once its
    // update has ended and a fresh one plugged in under the same name.
    {
        const fs::path out = dir / "memory.out";
        TProcess station({KELVO_UPDATE_EXE, "--watch", "--yes", "--json"}, Env(dir), out);
        long iRssN = 0;
        long iRss2N = 0;
        int iDone = 0;
        for (int iRound = 0; iDone < 2 * MemoryUpdates; ++iRound) {
            const int iNow = std::min(Loggers, 2 * MemoryUpdates - iDone);
            const auto aSims = StartLoggers(dir, {}, iNow);
            const int iUnplugged = Events(out, "unplugged");
            Plug(aSims, devDir, 0s);
            if (!WaitFor([&] { return Events(out, "result") >= iDone + iNow; }, 120s)) {
                std::printf("(d) round %d: the updates did not end within two minutes\n",
                            iRound + 1);
                bOk = false;
                break;
            }
            iDone += iNow;
            // Unplugged, and seen so, before the next loggers take the same names.
            for (int i = 0; i < iNow; ++i)
                fs::remove(PortName(devDir, i));
            WaitFor([&] { return Events(out, "unplugged") >= iUnplugged + iNow; }, 30s);
            const long iRss = RssKb(station.Pid());
            std::printf("(d) %3d updates: resident set %ld kB\n", iDone, iRss);
            if (iDone == MemoryUpdates)
                iRssN = iRss;
            if (iDone == 2 * MemoryUpdates)
                iRss2N = iRss;
        }
        station.Signal(SIGINT);
        station.Wait();
        if (iRssN > 0 && iRss2N > 0) {
            const double dPerUpdate =
                static_cast<double>(iRss2N - iRssN) / static_cast<double>(MemoryUpdates);
            std::printf("(d) station resident set after %d updates %ld kB, after %d %ld kB\n",
                        MemoryUpdates, iRssN, 2 * MemoryUpdates, iRss2N);
            row("(d) memory per finished update (N to 2N)", dPerUpdate, "kB", 1.0,
                dPerUpdate <= 1.0);
        }
    }

    std::printf("load average at the end: %s\n", LoadAverage().c_str());
    fs::remove_all(dir);
    return bOk ? 0 : 1;
}
