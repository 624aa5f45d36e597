// Whole-update timings of kelvo-update against kelvo-logger-sim:
//  (a) paced at 9600 baud: wall time against the wire limit of exactly the bytes exchanged plus
//      the protocol's fixed waits;
//  (b) unpaced: wall time minus the fixed waits, and the CPU time of kelvo-update;
//  (c) the peak resident set of kelvo-update;
//  (d) eight paced loggers updated by one kelvo-update at once: its wall time against that of one
//      paced update (a), and the CPU time of all its processes;
//  (e) paced behind a USB serial converter's latency of 16 ms and of 1 ms: the cost against the
//      wire limit;
//  (f) the update journal: the time its writes take in one run (the row begun, the facts of an
//      update as they come, the row completed), the median of many runs;
//  (g) the workshop station: its CPU time and wake-ups while it waits with no logger plugged in,
//      then sixteen paced loggers plugged in within two seconds: the time from the first plug to
//      the end of their updates against that of one paced update (a);
//  (h) a steady paced time: ten runs paced at 96000 baud, the spread of their wall times as
//      multiples of the wire limit and the worst run's excess over it in seconds.
// Arguments select parts: --quick (b, c and f), --parallel (a and d), --latency (e), --station (a
// and g), --steady (h); none: all.
// The updates record their runs in a journal of the benchmark's own.
#include "bench/BenchSupport.h"
#include "firmware/uFWVersions.h"
#include "frontend/uRunJournal.h"
#include "link/uCommThread.h"
#include "tests/support/Process.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

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

// Where the time of a paced run went, from the simulated logger's log (--verbose: milliseconds
// since its start at each exchange): the data lines against their time on the wire, the waits
// around the finish request beyond their fixed lengths, and what lies outside the port's use (the
// program's start and end, the journal's writes among them).
struct TBreakdown {
    double dLinesOverS = 0;  // the data lines' exchanges beyond their wire time
    double dFinishOverS = 0; // from the last line's echo to the finish request, beyond 500 ms
    double dIdentOverS = 0;  // from the finish request to the final identification, beyond 2 s
    double dOutsideS = 0;    // the wall time outside the port's use
    bool bValid = false;
};

TBreakdown Breakdown(const fs::path& log, double dBaud, double dWallS) {
    TBreakdown b;
    std::ifstream in(log);
    double dOpened = -1;
    double dClosed = -1;
    double dFirstLine = -1;
    double dLastLine = -1;
    double dFinish = -1;
    double dIdent = -1;
    double dLineWire = 0;
    bool bReply = false;
    for (std::string s; std::getline(in, s);) {
        const std::size_t iMs = s.find(" ms] ");
        if (s.empty() || s[0] != '[' || iMs == std::string::npos)
            continue;
        const double d = std::stod(s.substr(1, iMs - 1)) / 1000.0;
        const std::string sWhat = s.substr(iMs + 5);
        if (sWhat == "port opened" && dOpened < 0)
            dOpened = d;
        else if (sWhat.starts_with("port closed"))
            dClosed = d;
        else if (sWhat.starts_with("line #")) {
            if (dFirstLine < 0)
                dFirstLine = d;
            dLastLine = d;
            bReply = true;
        } else if (sWhat.starts_with("reply :") && bReply) {
            // Every line but the first: its request and its echo on the wire since the one before.
            if (dLastLine > dFirstLine)
                dLineWire += 2.0 * static_cast<double>(sWhat.size() - 6) * 10.0 / dBaud;
            bReply = false;
        } else if (sWhat.starts_with("finish #"))
            dFinish = d;
        else if (sWhat.starts_with("restart-ident #"))
            dIdent = d;
    }
    if (dOpened < 0 || dClosed < 0 || dFirstLine < 0 || dFinish < 0 || dIdent < 0)
        return b;
    b.dLinesOverS = dLastLine - dFirstLine - dLineWire;
    b.dFinishOverS = dFinish - dLastLine - 0.5;
    b.dIdentOverS = dIdent - dFinish - 2.0;
    b.dOutsideS = dWallS - (dClosed - dOpened);
    b.bValid = true;
    return b;
}

struct TMeasure {
    int iExit = -1;
    double dWallS = 0;
    double dCpuS = 0;
    long iMaxRssKb = 0;
    std::size_t iBytes = 0;
};

// iLoggers simulators of image 9 with aSimArgs, each with its files in dir/simN, and the empty
// device folder dir/dev where their port names are to appear.
std::vector<std::unique_ptr<TSimProcess>>
StartLoggers(const fs::path& dir, const std::vector<std::string>& aSimArgs, int iLoggers) {
    fs::remove_all(dir / "dev");
    fs::create_directories(dir / "dev");
    return bench::StartLoggers(dir, aSimArgs, iLoggers);
}

// One kelvo-update against iLoggers simulators with aSimArgs, all ports given with --all-ports
// through a device folder of links (one logger: --port). The CPU time and memory are those of
// kelvo-update and the processes it waited for; the bytes those of the busiest logger.
TMeasure Run(const fs::path& dir, const std::vector<std::string>& aSimArgs, int iLoggers = 1,
             const std::string& sUpdateExe = KELVO_UPDATE_EXE) {
    const std::vector<std::unique_ptr<TSimProcess>> aSims = StartLoggers(dir, aSimArgs, iLoggers);
    const fs::path devDir = dir / "dev";
    for (std::size_t i = 0; i < aSims.size(); ++i)
        fs::create_symlink(aSims[i]->sPort, devDir / ("ttyUSB" + std::to_string(i)));
    std::vector<std::string> aCli{sUpdateExe, "--yes", "--quiet"};
    if (iLoggers == 1)
        aCli.insert(aCli.end(), {"--port", aSims.front()->sPort});
    else
        aCli.push_back("--all-ports");
    TMeasure m;
    const auto t0 = std::chrono::steady_clock::now();
    TProcess cli(
        aCli,
        {"KELVO_DEV_DIR=" + devDir.string(), "KELVO_JOURNAL=" + (dir / "journal.sqlite3").string()},
        dir / "cli.out");
    rusage usage{};
    m.iExit = cli.Wait(&usage);
    m.dWallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m.dCpuS = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.iMaxRssKb = usage.ru_maxrss;
    for (const auto& p : aSims) {
        m.iBytes = std::max(m.iBytes, WireBytes(p->Record()));
        p->Stop();
    }
    return m;
}

// The milliseconds that the journal's writes of one run take, the median of iRuns runs: the
// notifications of an update of a logger in its application, as the front ends hand them over.
double JournalMsPerRun(const fs::path& dir, int iRuns) {
    ::setenv("KELVO_JOURNAL", (dir / "bench-journal.sqlite3").c_str(), 1);
    constexpr std::pair<std::int32_t, std::int32_t> aNotes[] = {
        {20, 26113}, {21, 0x058A}, {29, 320000}, {20, 51202}, {21, 0},  {22, 12},
        {23, 44},    {24, 0},      {25, 26113},  {28, 0},     {22, 12}, {23, 44},
        {26, 0},     {40, 0},      {40, 1},      {20, 26113}};
    iFwIndex = 9;
    std::vector<double> a;
    for (int i = 0; i < iRuns; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        TRunJournal journal({"bench", "/dev/ttyUSB0", "", ""});
        TRunRecord run;
        journal.Prepare(run);
        for (const auto& [iCode, iValue] : aNotes)
            journal.Notification(iCode, iValue);
        run.iLinesSent = 783;
        journal.End(0, "Update succesfully completed.", "", false, false, run);
        journal.Flush();
        for (const std::string& s : journal.TakeWarnings())
            std::printf("%s\n", s.c_str());
        a.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count());
    }
    std::sort(a.begin(), a.end());
    return a[a.size() / 2];
}

// The CPU seconds (user and system) of process pid and the times its threads gave up the CPU to
// wait, from /proc.
struct TIdleUse {
    double dCpuS = 0;
    long iWaits = 0;
};

TIdleUse IdleUse(pid_t pid) {
    TIdleUse u;
    std::string sStat;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), sStat);
    // The fields after the command's name, which is in parentheses: utime and stime are the 12th
    // and 13th of them.
    std::istringstream in(sStat.substr(sStat.rfind(')') + 2));
    std::string sField;
    long iUser = 0;
    long iSystem = 0;
    for (int i = 1; i <= 13 && in >> sField; ++i) {
        if (i == 12)
            iUser = std::stol(sField);
        if (i == 13)
            iSystem = std::stol(sField);
    }
    u.dCpuS = static_cast<double>(iUser + iSystem) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    u.iWaits = bench::ContextSwitches(pid, false);
    return u;
}

// The station with no logger for tIdle, then iLoggers paced simulators plugged in one after
// another (links made in the device folder) within two seconds; the wall time from the first plug
// to the station's end after iLoggers updates.
struct TStationMeasure {
    int iExit = -1;
    double dIdleCpuS = 0;
    double dIdleWaitsPerS = 0;
    double dWallS = 0;
};

TStationMeasure RunStation(const fs::path& dir, int iLoggers, std::chrono::seconds tIdle) {
    const std::vector<std::unique_ptr<TSimProcess>> aSims =
        StartLoggers(dir, {"--baud", "9600"}, iLoggers);
    const fs::path devDir = dir / "dev";
    TStationMeasure m;
    TProcess station(
        {KELVO_UPDATE_EXE, "--watch", "--yes", "--quiet", "--count", std::to_string(iLoggers)},
        {"KELVO_DEV_DIR=" + devDir.string(), "KELVO_JOURNAL=" + (dir / "journal.sqlite3").string()},
        dir / "station.out");
    // Settled first: the start and its first list are not idling.
    std::this_thread::sleep_for(1s);
    const TIdleUse before = IdleUse(station.Pid());
    std::this_thread::sleep_for(tIdle);
    const TIdleUse after = IdleUse(station.Pid());
    m.dIdleCpuS = after.dCpuS - before.dCpuS;
    m.dIdleWaitsPerS =
        static_cast<double>(after.iWaits - before.iWaits) / static_cast<double>(tIdle.count());
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < iLoggers; ++i) {
        fs::create_symlink(aSims[static_cast<std::size_t>(i)]->sPort,
                           devDir / ("ttyUSB" + std::to_string(i)));
        std::this_thread::sleep_for(std::chrono::milliseconds(2000 / iLoggers));
    }
    m.iExit = station.Wait();
    m.dWallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (const auto& p : aSims)
        p->Stop();
    return m;
}

} // namespace

int main(int argc, char** argv) {
    // Each figure as it comes: a run of all parts takes many minutes.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::set<std::string> aParts(argv + 1, argv + argc);
    const bool bAll = aParts.empty();
    const bool bQuick = bAll || aParts.count("--quick") > 0;
    const bool bParallel = bAll || aParts.count("--parallel") > 0;
    const bool bLatency = bAll || aParts.count("--latency") > 0;
    const bool bStation = bAll || aParts.count("--station") > 0;
    const bool bSteady = bAll || aParts.count("--steady") > 0;
    const fs::path dir = fs::temp_directory_path() / ("kelvo-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);

    std::printf("load average at the start: %s\n", bench::LoadAverage().c_str());
    std::printf("%-46s %12s %10s %s\n", "measure", "value", "target", "");
    const auto row = [](const char* sName, double dValue, const char* sUnit, double dTarget,
                        bool bOk) {
        std::printf("%-46s %9.3f %-2s %7.3f %-2s %s\n", sName, dValue, sUnit, dTarget, sUnit,
                    bOk ? "ok" : "MISSED");
    };
    bool bOk = true;
    const auto failed = [&](const char* sWhat, const TMeasure& m) {
        if (m.iExit == 0)
            return false;
        std::printf("%s failed with exit status %d\n", sWhat, m.iExit);
        bOk = false;
        return true;
    };
    // The wire limit of a paced run's bytes at dBaud (ten bits a byte) and the fixed waits.
    const auto wireLimit = [](const TMeasure& m, double dBaud) {
        return static_cast<double>(m.iBytes) * 10.0 / dBaud + FixedWaitsS;
    };
    // The wall time of a paced run against the wire limit of its bytes.
    const auto pacedRatio = [&](const char* sWhat, const TMeasure& m) {
        const double dLimit = wireLimit(m, 9600);
        std::printf("%s: %zu bytes, wire limit %.2f s, wall %.2f s\n", sWhat, m.iBytes, dLimit,
                    m.dWallS);
        return m.dWallS / dLimit;
    };

    if (bQuick) {
        const TMeasure u = Run(dir, {});
        failed("unpaced update", u);
        const double dOverhead = u.dWallS - FixedWaitsS;
        row("(b) unpaced: wall time minus fixed waits", dOverhead * 1000, "ms", 50,
            dOverhead <= 0.05);
        row("(b) unpaced: CPU time of kelvo-update", u.dCpuS, "s", 0.3, u.dCpuS <= 0.3);
        row("(c) peak RSS of kelvo-update", static_cast<double>(u.iMaxRssKb) / 1024.0, "MB", 10,
            u.iMaxRssKb <= 10 * 1024);
        bOk = bOk && dOverhead <= 0.05 && u.dCpuS <= 0.3 && u.iMaxRssKb <= 10 * 1024;
        const double dJournal = JournalMsPerRun(dir, 51);
        row("(f) journal: writes of one run (median)", dJournal, "ms", 5, dJournal <= 5);
        bOk = bOk && dJournal <= 5;
    }

    // One paced update: the measure of (a), and the yardstick of (d) and (g).
    TMeasure p;
    if (bParallel || bStation) {
        p = Run(dir, {"--baud", "9600"});
        const double dRatio = pacedRatio("(a) paced at 9600 baud", p);
        if (!failed("paced update", p)) {
            row("(a) paced: wall time / wire limit", dRatio, "", 1.01, dRatio <= 1.01);
            bOk = bOk && dRatio <= 1.01;
        }
    }

    if (bParallel) {
        constexpr int Loggers = 8;
        const TMeasure q = Run(dir, {"--baud", "9600"}, Loggers);
        pacedRatio("(d) eight paced loggers at once", q);
        if (!failed("update of eight loggers", q)) {
            const double dParallel = q.dWallS / p.dWallS;
            row("(d) eight at once: wall time / one paced update", dParallel, "", 1.02,
                dParallel <= 1.02);
            row("(d) eight at once: CPU time, all processes", q.dCpuS, "s", 1.0, q.dCpuS <= 1.0);
            bOk = bOk && dParallel <= 1.02 && q.dCpuS <= 1.0;
        }
    }

    if (bStation) {
        constexpr int Loggers = 16;
        constexpr auto Idle = 20s;
        const TStationMeasure st = RunStation(dir, Loggers, Idle);
        std::printf("(g) station: idle %lld s, then %d paced loggers plugged in within 2 s, "
                    "their updates in %.2f s\n",
                    static_cast<long long>(Idle.count()), Loggers, st.dWallS);
        // The main loop wakes once a second, the port watch's safety-net rescan every five: 1.2
        // a second, and a little room.
        row("(g) station idle: CPU time", st.dIdleCpuS * 1000, "ms", 20, st.dIdleCpuS <= 0.02);
        row("(g) station idle: wake-ups per second", st.dIdleWaitsPerS, "", 1.3,
            st.dIdleWaitsPerS <= 1.3);
        bOk = bOk && st.dIdleCpuS <= 0.02 && st.dIdleWaitsPerS <= 1.3;
        if (st.iExit != 0) {
            std::printf("station of %d loggers failed with exit status %d\n", Loggers, st.iExit);
            bOk = false;
        } else if (p.iExit == 0) {
            const double dRatio = st.dWallS / p.dWallS;
            row("(g) sixteen at once: wall time / one paced", dRatio, "", 1.05, dRatio <= 1.05);
            bOk = bOk && dRatio <= 1.05;
        }
    }

    if (bLatency) {
        // What a converter's latency costs; no target: the figures say what the setting is worth.
        for (const char* sLatency : {"16", "1"}) {
            const TMeasure m = Run(dir, {"--baud", "9600", "--latency", sLatency});
            const std::string sName = std::string("(e) paced, latency ") + sLatency + " ms";
            const double dRatio = pacedRatio(sName.c_str(), m);
            if (!failed(sName.c_str(), m))
                std::printf("%-46s %9.3f\n", (sName + ": wall time / wire limit").c_str(), dRatio);
        }
    }
    if (bSteady) {
        // KELVO_BENCH_AGAINST: other builds of kelvo-update whose runs alternate with this one's,
        // so that all meet the same load.
        // Several: separated by colons.
        std::vector<std::pair<std::string, std::string>> aBuilds{{"", KELVO_UPDATE_EXE}};
        if (const char* sAgainst = std::getenv("KELVO_BENCH_AGAINST"); sAgainst != nullptr) {
            std::istringstream in(sAgainst);
            for (std::string sExe; std::getline(in, sExe, ':');) {
                if (!sExe.empty())
                    aBuilds.emplace_back(" against " + std::to_string(aBuilds.size()), sExe);
            }
        }
        constexpr int Runs = 10;
        std::vector<std::vector<double>> aRatios(aBuilds.size());
        std::vector<double> aWorstExcessS(aBuilds.size());
        for (int i = 0; i < Runs; ++i) {
            for (std::size_t k = 0; k < aBuilds.size(); ++k) {
                const auto& [sName, sExe] = aBuilds[k];
                const TMeasure m = Run(dir, {"--baud", "96000", "--verbose"}, 1, sExe);
                if (failed("paced update at 96000 baud", m))
                    break;
                const double dLimit = wireLimit(m, 96000);
                aRatios[k].push_back(m.dWallS / dLimit);
                aWorstExcessS[k] = std::max(aWorstExcessS[k], m.dWallS - dLimit);
                std::printf("(h)%s run %2d: wire limit %.2f s, wall %.2f s, %.3f x", sName.c_str(),
                            i + 1, dLimit, m.dWallS, m.dWallS / dLimit);
                if (const TBreakdown b = Breakdown(dir / "sim0" / "sim.out.err", 96000, m.dWallS);
                    b.bValid)
                    std::printf("; over the wire: lines %.2f s, before the finish %.3f s, final "
                                "identification %.3f s, start and end %.3f s",
                                b.dLinesOverS, b.dFinishOverS, b.dIdentOverS, b.dOutsideS);
                std::printf("\n");
            }
        }
        for (std::size_t k = 0; k < aBuilds.size(); ++k) {
            std::vector<double>& a = aRatios[k];
            if (a.empty())
                continue;
            std::sort(a.begin(), a.end());
            std::printf("(h)%s %zu paced runs at 96000 baud: wall time / wire limit min %.3f, "
                        "median %.3f, max %.3f; worst run %.2f s over the wire limit\n",
                        aBuilds[k].first.c_str(), a.size(), a.front(), a[a.size() / 2], a.back(),
                        aWorstExcessS[k]);
        }
        if (!aRatios[0].empty()) {
            row("(h) steady: worst run over the wire limit", aWorstExcessS[0], "s", 0.5,
                aWorstExcessS[0] <= 0.5);
            bOk = bOk && aWorstExcessS[0] <= 0.5;
        }
    }

    std::printf("load average at the end: %s\n", bench::LoadAverage().c_str());
    fs::remove_all(dir);
    return bOk ? 0 : 1;
}
