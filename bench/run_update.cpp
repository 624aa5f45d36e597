// Whole-update timings of kelvo-update against kelvo-logger-sim:
//  (a) paced at 9600 baud: wall time against the wire limit of exactly the bytes exchanged plus
//      the protocol's fixed waits;
//  (b) unpaced: wall time minus the fixed waits, and the CPU time of kelvo-update;
//  (c) the peak resident set of kelvo-update.
#include "tests/support/Process.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The protocol's fixed waits: two pauses after the wake-up frames, 1 ms after the bootloader
// entry, 500 ms before the finish request and 2,000 ms after it.
constexpr double FixedWaitsS = (100 + 100 + 1 + 500 + 2000) / 1000.0;

// The bytes on the wire, both directions, of one update of a logger that runs its application:
// frames from the fixed sequence, lines from what the logger recorded.
std::size_t WireBytes(const std::vector<std::string>& aRecord) {
    // Two wake-ups, identification twice, serial number, bootloader entry, final identification.
    std::size_t n = 2 * 8 + 2 * 16 + 16 + 8 + 16;
    for (const auto& s : aRecord) {
        n += s.size();
        if (s == ":0100000520DA")
            n += 2 * 6 + 11; // platform reply
        else if (s.size() == 13 && s.substr(9, 2) == "30")
            n += 2 * 64 + 11; // update-ID block
        else if (s == ":0100000531C9" || s == ":0100000511E9")
            n += 2 * 1 + 11; // start reply
        else if (s == ":0100000533C7" || s == ":0100000513E7")
            n += 0; // finish: no reply
        else
            n += s.size(); // echo of a data line
    }
    return n;
}

struct TMeasure {
    int iExit = -1;
    double dWallS = 0;
    double dCpuS = 0;
    long iMaxRssKb = 0;
    std::size_t iBytes = 0;
};

TMeasure RunOnce(const fs::path& dir, bool bPaced) {
    std::vector<std::string> aSim{"--preset", "entry9"};
    if (bPaced) {
        aSim.push_back("--baud");
        aSim.push_back("9600");
    }
    TSimProcess sim(KELVO_SIM_EXE, dir, aSim);
    const std::string sPort = sim.sPort;
    TMeasure m;
    const auto t0 = std::chrono::steady_clock::now();
    TProcess cli({KELVO_UPDATE_EXE, "--port", sPort, "--yes", "--quiet"}, {}, dir / "cli.out");
    rusage usage{};
    m.iExit = cli.Wait(&usage);
    m.dWallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m.dCpuS = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.iMaxRssKb = usage.ru_maxrss;
    m.iBytes = WireBytes(sim.Record());
    sim.Stop();
    return m;
}

} // namespace

int main(int argc, char** argv) {
    const bool bQuick = argc > 1 && std::string(argv[1]) == "--quick";
    const fs::path dir = fs::temp_directory_path() / ("kelvo-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);

    const TMeasure u = RunOnce(dir, false);
    std::printf("%-46s %12s %10s %s\n", "measure", "value", "target", "");
    const auto row = [](const char* sName, double dValue, const char* sUnit, double dTarget,
                        bool bOk) {
        std::printf("%-46s %9.3f %-2s %7.3f %-2s %s\n", sName, dValue, sUnit, dTarget, sUnit,
                    bOk ? "ok" : "MISSED");
    };
    bool bAll = u.iExit == 0;
    if (u.iExit != 0)
        std::printf("unpaced update failed with exit status %d\n", u.iExit);
    const double dOverhead = u.dWallS - FixedWaitsS;
    row("(b) unpaced: wall time minus fixed waits", dOverhead * 1000, "ms", 50, dOverhead <= 0.05);
    row("(b) unpaced: CPU time of kelvo-update", u.dCpuS, "s", 0.3, u.dCpuS <= 0.3);
    row("(c) peak RSS of kelvo-update", static_cast<double>(u.iMaxRssKb) / 1024.0, "MB", 10,
        u.iMaxRssKb <= 10 * 1024);
    bAll = bAll && dOverhead <= 0.05 && u.dCpuS <= 0.3 && u.iMaxRssKb <= 10 * 1024;

    if (!bQuick) {
        const TMeasure p = RunOnce(dir, true);
        const double dLimit = static_cast<double>(p.iBytes) * 10.0 / 9600.0 + FixedWaitsS;
        const double dRatio = p.dWallS / dLimit;
        std::printf("(a) paced at 9600 baud: %zu bytes, wire limit %.2f s, wall %.2f s\n", p.iBytes,
                    dLimit, p.dWallS);
        row("(a) paced: wall time / wire limit", dRatio, "", 1.01, p.iExit == 0 && dRatio <= 1.01);
        bAll = bAll && p.iExit == 0 && dRatio <= 1.01;
    }
    fs::remove_all(dir);
    return bAll ? 0 : 1;
}
