// The workshop station (kelvo-update --watch) in a long run, as a workshop uses it: eight slots
// (ttyUSB0..7 in a device folder of the benchmark's own) into which simulated loggers are plugged
// on a seeded random schedule, with a mix of faults: a clean logger, a silent one, a corrupted
// echo, a logger in its bootloader (image 9's hardware, and image 8's, whose serial number pins
// it to 5.136), an unplug during the transfer, an unplug while the logger restarts, and the
// update's child process killed (SIGKILL). Each slot is plugged in again once its logger's update
// has ended and its unplug has been seen; a logger whose transfer was broken off comes back at
// times, still in its bootloader. After the first 128 updates the slots pause until the station
// is idle, for a reading of its resident set.
//
// At the end: 32 paced loggers plugged in within a second (their time against one paced update
// by kelvo-update --port), then eight paced updates cancelled by Ctrl+C twice. Then the checks,
// each with its figure: no success without the whole image recorded by its simulator, one result
// and one journal row per update, no row left interrupted, no process left over, the station's
// descriptors and resident set, and the updates by status and by kind of logger.
#include "bench/BenchSupport.h"
#include "firmware/uFWVersions.h"
#include "tests/support/Process.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;
using TJson = nlohmann::json;

namespace {

constexpr int Slots = 8;
constexpr int Crowd = 32;
constexpr int MemoryMark = 128; // updates before the first reading of the resident set
constexpr const char* PacedBaud = "96000";
constexpr auto Tick = 50ms;
// A plug-in whose update has not ended by then is stuck.
constexpr auto StuckAfter = 5min;

using bench::Seconds;
using bench::WaitFor;

// The kinds of logger plugged into a slot, with their share of the plug-ins.
enum class TKind {
    Clean,
    Silent,
    CorruptEcho,
    Bootloader,
    BootloaderPinned,
    UnplugInTransfer,
    UnplugInRestart,
    KilledChild
};
struct TKindInfo {
    TKind eKind;
    const char* sName;
    int iWeight;
};
constexpr TKindInfo Kinds[] = {
    {TKind::Clean, "clean", 30},
    {TKind::Silent, "silent", 6},
    {TKind::CorruptEcho, "corrupted echo", 12},
    {TKind::Bootloader, "in its bootloader (image 9's hardware)", 7},
    {TKind::BootloaderPinned, "in its bootloader, image 8's (serial pins it)", 5},
    {TKind::UnplugInTransfer, "unplugged in its transfer", 13},
    {TKind::UnplugInRestart, "unplugged while it restarts", 10},
    {TKind::KilledChild, "update's process killed", 13},
};

// The station's JSON Lines, read as they are written: per update its port, journal rows and
// result; per port its results (update numbers in order) and unplugs.
struct TUpdate {
    std::string sPort;
    std::set<long long> aRows;
    int iResults = 0;
    int iExit = -1;
    bool bSuccess = false;
    std::optional<int> iEntry; // of the image chosen last
};

class TStationOutput {
public:
    explicit TStationOutput(fs::path file) : FFile(std::move(file)) {}

    void Read() {
        std::ifstream f(FFile, std::ios::binary);
        f.seekg(FiOffset);
        std::string sNew((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        FiOffset += static_cast<std::streamoff>(sNew.size());
        FsPartial += sNew;
        std::size_t iStart = 0;
        for (std::size_t i; (i = FsPartial.find('\n', iStart)) != std::string::npos; iStart = i + 1)
            Take(FsPartial.substr(iStart, i - iStart));
        FsPartial.erase(0, iStart);
    }

    std::map<long long, TUpdate> aUpdates;
    std::map<std::string, std::vector<long long>> aResultsByPort;
    std::map<std::string, int> aUnplugged;
    std::set<long long> aRows; // every journal row named
    int iResults = 0;
    int iNotJson = 0;
    std::optional<TJson> summary;

private:
    void Take(const std::string& sLine) {
        const TJson o = TJson::parse(sLine, nullptr, false);
        if (!o.is_object()) {
            ++iNotJson;
            return;
        }
        const std::string sEvent = o.value("event", "");
        const std::string sPort = o.value("port", "");
        if (sEvent == "summary") {
            summary = o;
        } else if (sEvent == "unplugged") {
            ++aUnplugged[sPort];
        } else if ((sEvent == "start" || sEvent == "result") && o.contains("update") &&
                   o["update"].is_number()) {
            const long long iUpdate = o["update"].get<long long>();
            TUpdate& u = aUpdates[iUpdate];
            u.sPort = sPort;
            if (o.contains("journal_row") && o["journal_row"].is_number()) {
                u.aRows.insert(o["journal_row"].get<long long>());
                aRows.insert(o["journal_row"].get<long long>());
            }
            if (sEvent == "result") {
                ++u.iResults;
                ++iResults;
                u.iExit = o.value("exit", -1);
                u.bSuccess = o.value("success", false);
                if (o.contains("image") && o["image"].is_object() &&
                    o["image"]["entry"].is_number())
                    u.iEntry = o["image"]["entry"].get<int>();
                aResultsByPort[sPort].push_back(iUpdate);
            }
        }
    }

    fs::path FFile;
    std::streamoff FiOffset = 0;
    std::string FsPartial;
};

// A line of the record that is a bootloader request (one data byte), not an image line.
bool IsRequest(const std::string& s) {
    return s.size() > 3 && s.compare(1, 2, "01") == 0;
}

// True when the record ends with a finish request after a start request and, between them, as
// many image lines as the image of iEntry has: the whole image programmed in one session.
bool WholeImageRecorded(const std::vector<std::string>& aRecord, int iEntry) {
    if (aRecord.empty() || !IsRequest(aRecord.back()))
        return false;
    std::int32_t n = 0;
    for (std::size_t i = aRecord.size() - 1; i-- > 0 && !IsRequest(aRecord[i]);)
        ++n;
    // A built-in image's lines are numbered from 1: its last index is their count.
    return n == GetFwLastIndex(iEntry);
}

std::string ReadProc(pid_t pid, const char* sWhat) {
    return ReadFile("/proc/" + std::to_string(pid) + "/" + sWhat);
}

std::vector<pid_t> Processes() {
    std::vector<pid_t> a;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string s = e.path().filename().string();
        if (!s.empty() && std::all_of(s.begin(), s.end(), ::isdigit))
            a.push_back(static_cast<pid_t>(std::stol(s)));
    }
    return a;
}

pid_t ParentOf(pid_t pid) {
    const std::string s = ReadProc(pid, "stat");
    const std::size_t i = s.rfind(')');
    return i == std::string::npos ? -1 : static_cast<pid_t>(std::atol(s.c_str() + i + 4));
}

// The processes whose command line names sText (NUL-separated arguments joined by spaces),
// other than those in aBut.
std::vector<pid_t> ProcessesNaming(const std::string& sText, const std::set<pid_t>& aBut) {
    std::vector<pid_t> a;
    for (const pid_t pid : Processes()) {
        std::string s = ReadProc(pid, "cmdline");
        std::replace(s.begin(), s.end(), '\0', ' ');
        if (s.find(sText) != std::string::npos && !aBut.contains(pid) && pid != getpid())
            a.push_back(pid);
    }
    return a;
}

long Descriptors(pid_t pid) {
    long n = 0;
    std::error_code e;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", e), end; !e && it != end;
         it.increment(e))
        ++n;
    return n;
}

// One logger plugged into a port: its simulator (which makes the port's name and removes it at
// its end), and how far its update and unplug have come.
struct TPlug {
    std::string sPort;
    TKind eKind = TKind::Clean;
    int iEntry = 9;
    fs::path folder;
    std::unique_ptr<TSimProcess> sim;
    std::size_t iResultBase = 0; // the port's results before this plug-in
    TClock::time_point tPlugged;
    std::size_t iStrikeAt = 0; // record lines before an unplug or a kill in the transfer
    bool bStruck = false;
    bool bUnplugged = false;
    int iUnpluggedBase = 0;
    std::optional<long long> iUpdate; // once its result is in
    bool bStuck = false;
};

struct TSoak {
    fs::path dir;
    fs::path devDir;
    std::mt19937 random;
    TStationOutput out;
    std::unique_ptr<TProcess> station;
    int iPlugs = 0;
    // Ports whose logger's transfer was broken off and that get it back next, still in its
    // bootloader: the entry of its hardware.
    std::map<std::string, int> aComesBack;

    // Tallies.
    int iWrongSuccess = 0;
    int iStuck = 0;
    int iKills = 0;
    std::map<TKind, std::map<int, int>> aByKind; // kind -> exit status -> updates
    std::vector<std::string> aWrong;             // what each wrong success was

    TSoak(fs::path d, unsigned iSeed)
        : dir(std::move(d)), devDir(dir / "dev"), random(iSeed), out(dir / "station.out") {}

    std::vector<std::string> Env() const {
        return {"KELVO_DEV_DIR=" + devDir.string(),
                "KELVO_JOURNAL=" + (dir / "journal.sqlite3").string(),
                "XDG_CONFIG_HOME=" + (dir / "config").string()};
    }
    std::string Port(int i) const { return (devDir / ("ttyUSB" + std::to_string(i))).string(); }

    int Uniform(int iFrom, int iTo) { return std::uniform_int_distribution<>(iFrom, iTo)(random); }

    // A logger of kind eKind into port i (aArgs: more options of its simulator).
    std::unique_ptr<TPlug> Plug(int i, TKind eKind, std::vector<std::string> aArgs = {}) {
        auto p = std::make_unique<TPlug>();
        p->sPort = Port(i);
        p->eKind = eKind;
        p->folder = dir / "plugs" / std::to_string(++iPlugs);
        fs::create_directories(p->folder);
        switch (eKind) {
        case TKind::Silent:
            aArgs.insert(aArgs.end(), {"--fault", "ident:noanswer:1:1000"});
            break;
        case TKind::CorruptEcho:
            aArgs.insert(aArgs.end(), {"--fault", "line:echo:" + std::to_string(Uniform(1, 783))});
            break;
        case TKind::Bootloader:
            aArgs.insert(aArgs.end(), {"--start", "bootloader"});
            break;
        case TKind::BootloaderPinned:
            p->iEntry = 8;
            aArgs.insert(aArgs.end(), {"--start", "bootloader"});
            break;
        case TKind::UnplugInTransfer:
        case TKind::KilledChild:
            // Paced, so that the strike comes in the transfer; image 8's hardware at times, whose
            // interrupted run pins the next logger found in its bootloader on the port.
            if (Uniform(0, 2) == 0)
                p->iEntry = 8;
            p->iStrikeAt = static_cast<std::size_t>(Uniform(20, 700));
            aArgs.insert(aArgs.end(), {"--latency", std::to_string(Uniform(3, 8))});
            break;
        default:
            break;
        }
        // The others half paced as converters are, half as fast as the pty goes.
        if (std::find(aArgs.begin(), aArgs.end(), "--latency") == aArgs.end() && Uniform(0, 1) == 0)
            aArgs.insert(aArgs.end(), {"--latency", std::to_string(Uniform(1, 4))});
        aArgs.insert(aArgs.begin(), {"--preset", "entry" + std::to_string(p->iEntry), "--serial",
                                     std::to_string(p->iEntry == 8 ? 328297 : 330000 + iPlugs)});
        aArgs.insert(aArgs.end(), {"--link", p->sPort});
        p->iResultBase = out.aResultsByPort[p->sPort].size();
        p->tPlugged = TClock::now();
        p->sim = std::make_unique<TSimProcess>(KELVO_SIM_EXE, p->folder, aArgs);
        return p;
    }

    void Unplug(TPlug& p) {
        if (p.bUnplugged)
            return;
        p.iUnpluggedBase = out.aUnplugged[p.sPort];
        p.bUnplugged = true;
        p.sim->Stop();
    }

    // The update's process for port sPort, found by its parent.
    pid_t ChildFor(const std::string& sPort) const {
        const std::string sArg = std::string("--port") + '\0' + sPort + '\0';
        for (const pid_t pid : Processes()) {
            if (ParentOf(pid) == station->Pid() &&
                ReadProc(pid, "cmdline").find(sArg) != std::string::npos)
                return pid;
        }
        return -1;
    }

    // The fault of the kind, once its moment has come.
    void Strike(TPlug& p) {
        if (p.bStruck || p.iUpdate || p.bUnplugged)
            return;
        if (p.eKind == TKind::UnplugInTransfer || p.eKind == TKind::KilledChild) {
            if (p.sim->Record().size() < p.iStrikeAt)
                return;
            if (p.eKind == TKind::UnplugInTransfer) {
                Unplug(p);
            } else {
                const pid_t pid = ChildFor(p.sPort);
                if (pid <= 0)
                    return;
                kill(pid, SIGKILL);
                ++iKills;
            }
            p.bStruck = true;
        } else if (p.eKind == TKind::UnplugInRestart &&
                   WholeImageRecorded(p.sim->Record(), p.iEntry)) {
            Unplug(p);
            p.bStruck = true;
        }
    }

    // The plug-in's result, once it is in: tallied and checked against the simulator's record.
    bool TakeResult(TPlug& p) {
        if (p.iUpdate)
            return true;
        const auto& aResults = out.aResultsByPort[p.sPort];
        if (aResults.size() <= p.iResultBase)
            return false;
        p.iUpdate = aResults[p.iResultBase];
        const TUpdate& u = out.aUpdates[*p.iUpdate];
        ++aByKind[p.eKind][u.iExit];
        if (u.bSuccess || u.iExit == 0) {
            const bool bWhole = WholeImageRecorded(p.sim->Record(), p.iEntry);
            if (!bWhole || !u.bSuccess || u.iExit != 0 || u.iEntry != p.iEntry) {
                ++iWrongSuccess;
                aWrong.push_back("update " + std::to_string(*p.iUpdate) + " on " + p.sPort + " (" +
                                 p.folder.string() + ")");
                return true; // its folder kept for a look
            }
        }
        return true;
    }

    // One slot's turn in the schedule; false while its logger is still in the slot.
    bool Turn(std::unique_ptr<TPlug>& p) {
        Strike(*p);
        const bool bResult = TakeResult(*p);
        if (bResult)
            Unplug(*p);
        if (!bResult && !p->bStuck && TClock::now() - p->tPlugged > StuckAfter) {
            p->bStuck = true;
            ++iStuck;
            std::printf("%s: no result %lld s after the plug-in (%s)\n", p->sPort.c_str(),
                        static_cast<long long>(StuckAfter / 1s), p->folder.c_str());
            Unplug(*p);
        }
        const bool bGone = p->bUnplugged && out.aUnplugged[p->sPort] > p->iUnpluggedBase;
        if (bGone && (bResult || TClock::now() - p->tPlugged > StuckAfter + 1min)) {
            if (p->bStruck &&
                (p->eKind == TKind::UnplugInTransfer || p->eKind == TKind::KilledChild) &&
                Uniform(0, 1) == 0)
                aComesBack[p->sPort] = p->iEntry;
            if (!p->bStuck && iWrongSuccess == 0)
                fs::remove_all(p->folder);
            p.reset();
            return true;
        }
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    int iMinutes = 15;
    unsigned iSeed = static_cast<unsigned>(std::time(nullptr));
    for (int i = 1; i < argc; ++i) {
        const std::string s = argv[i];
        if (s == "--minutes" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            iMinutes = std::atoi(argv[++i]);
        } else if (s == "--seed" && i + 1 < argc) {
            iSeed = static_cast<unsigned>(std::stoul(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--minutes N] [--seed N]\n", argv[0]);
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const fs::path dir =
        fs::temp_directory_path() / ("kelvo-bench-soak-" + std::to_string(getpid()));
    fs::create_directories(dir / "dev");
    fs::create_directories(dir / "config");
    TSoak soak(dir, iSeed);
    std::printf("seed %u, %d minutes, %d slots, folder %s\n", iSeed, iMinutes, Slots, dir.c_str());
    std::printf("load average at the start: %s\n", bench::LoadAverage().c_str());

    // The yardstick: one paced update, in a journal of its own.
    double dOneS = 0;
    {
        const auto aSims = bench::StartLoggers(dir / "one", {"--baud", PacedBaud}, 1);
        const auto t0 = TClock::now();
        TProcess cli({KELVO_UPDATE_EXE, "--yes", "--quiet", "--port", aSims.front()->sPort},
                     {"KELVO_JOURNAL=" + (dir / "one" / "journal.sqlite3").string(),
                      "XDG_CONFIG_HOME=" + (dir / "config").string()},
                     dir / "one.out");
        const int iExit = cli.Wait();
        dOneS = Seconds(TClock::now() - t0);
        std::printf("one update paced at %s baud: %.2f s (exit status %d)\n", PacedBaud, dOneS,
                    iExit);
    }

    soak.station = std::make_unique<TProcess>(
        std::vector<std::string>{KELVO_UPDATE_EXE, "--watch", "--yes", "--json"}, soak.Env(),
        dir / "station.out");
    const pid_t iStation = soak.station->Pid();
    std::this_thread::sleep_for(1s);
    const long iFdStart = Descriptors(iStation);
    const long iRssStart = bench::RssKb(iStation);

    // The slots, on the schedule, until the time is up; paused once at MemoryMark updates until
    // the station is idle.
    std::vector<int> aWeights;
    for (const auto& k : Kinds)
        aWeights.push_back(k.iWeight);
    std::discrete_distribution<> kind(aWeights.begin(), aWeights.end());

    std::vector<std::unique_ptr<TPlug>> aSlots(Slots);
    std::vector<TClock::time_point> aNext(Slots, TClock::now());
    const auto tStart = TClock::now();
    const auto tEnd = tStart + std::chrono::minutes(iMinutes);
    long iRssMark = 0;
    long iFdMark = 0;
    int iUpdatesMark = 0;
    bool bPaused = false;
    auto tReport = tStart + 1min;
    for (;;) {
        soak.out.Read();
        const auto tNow = TClock::now();
        const bool bTimeUp = tNow >= tEnd;
        if (iRssMark == 0 && soak.out.iResults >= MemoryMark)
            bPaused = true;
        bool bEmpty = true;
        for (int i = 0; i < Slots; ++i) {
            if (aSlots[i]) {
                if (soak.Turn(aSlots[i]))
                    aNext[i] = tNow + std::chrono::milliseconds(soak.Uniform(100, 1500));
                else
                    bEmpty = false;
            } else if (!bTimeUp && !bPaused && tNow >= aNext[i]) {
                // At times the logger whose transfer was broken off comes back in its
                // bootloader; otherwise the next kind on the schedule.
                TKind eKind = Kinds[kind(soak.random)].eKind;
                if (const auto it = soak.aComesBack.find(soak.Port(i));
                    it != soak.aComesBack.end()) {
                    eKind = it->second == 8 ? TKind::BootloaderPinned : TKind::Bootloader;
                    soak.aComesBack.erase(it);
                }
                aSlots[i] = soak.Plug(i, eKind);
                bEmpty = false;
            }
        }
        if (bPaused && bEmpty) {
            std::this_thread::sleep_for(1s);
            iRssMark = bench::RssKb(iStation);
            iFdMark = Descriptors(iStation);
            iUpdatesMark = soak.out.iResults;
            std::printf("after %d updates, idle: resident set %ld kB, %ld descriptors\n",
                        iUpdatesMark, iRssMark, iFdMark);
            bPaused = false;
        }
        if (bTimeUp && bEmpty)
            break;
        if (Ended(iStation)) {
            std::printf("the station ended during the soak\n");
            break;
        }
        if (tNow >= tReport) {
            tReport += 1min;
            std::printf(
                "%5.0f s: %d plug-ins, %d updates ended, station %ld kB, %ld fds, load %s\n",
                Seconds(tNow - tStart), soak.iPlugs, soak.out.iResults, bench::RssKb(iStation),
                Descriptors(iStation), bench::LoadAverage().c_str());
        }
        std::this_thread::sleep_for(Tick);
    }
    std::this_thread::sleep_for(1s);
    soak.out.Read();
    const int iSoakUpdates = soak.out.iResults;
    const auto aByKind = soak.aByKind;
    const long iFdIdle = Descriptors(iStation);
    const long iRssIdle = bench::RssKb(iStation);
    std::printf("soak done after %.0f s: %d plug-ins, %d updates; idle: resident set %ld kB, %ld "
                "descriptors (at the start %ld kB, %ld)\n",
                Seconds(TClock::now() - tStart), soak.iPlugs, iSoakUpdates, iRssIdle, iFdIdle,
                iRssStart, iFdStart);

    // 32 paced loggers within a second, under names the slots did not use.
    double dCrowdS = 0;
    int iCrowdSucceeded = 0;
    {
        const auto aSims = bench::StartLoggers(dir / "crowd", {"--baud", PacedBaud}, Crowd);
        const auto port = [&](int i) {
            return soak.Port(Slots + i);
        };
        std::vector<std::size_t> aBase;
        for (int i = 0; i < Crowd; ++i)
            aBase.push_back(soak.out.aResultsByPort[port(i)].size());
        const int iBase = soak.out.iResults;
        const auto tFirst = TClock::now();
        bench::PlugWithin(aSims, port, 1s);
        const auto tLast = TClock::now();
        WaitFor(
            [&] {
                soak.out.Read();
                return soak.out.iResults >= iBase + Crowd;
            },
            10min);
        dCrowdS = Seconds(TClock::now() - tLast);
        for (int i = 0; i < Crowd; ++i) {
            const auto& aResults = soak.out.aResultsByPort[port(i)];
            if (aResults.size() <= aBase[i])
                continue;
            const TUpdate& u = soak.out.aUpdates[aResults[aBase[i]]];
            const bool bWhole = WholeImageRecorded(aSims[i]->Record(), 9);
            iCrowdSucceeded += u.bSuccess && bWhole ? 1 : 0;
            if (u.bSuccess && !bWhole) {
                ++soak.iWrongSuccess;
                soak.aWrong.push_back("crowd update on " + port(i));
            }
        }
        std::printf("%d paced loggers plugged in within %.2f s: done %.2f s after the last plug, "
                    "%.2f s after the first; %d succeeded\n",
                    Crowd, Seconds(tLast - tFirst), dCrowdS, Seconds(TClock::now() - tFirst),
                    iCrowdSucceeded);
        const int iUnplugged = [&] {
            int n = 0;
            for (int i = 0; i < Crowd; ++i)
                n += soak.out.aUnplugged[port(i)];
            return n;
        }();
        for (int i = 0; i < Crowd; ++i)
            fs::remove(port(i));
        WaitFor(
            [&] {
                soak.out.Read();
                int n = 0;
                for (int i = 0; i < Crowd; ++i)
                    n += soak.out.aUnplugged[port(i)];
                return n >= iUnplugged + Crowd;
            },
            30s);
    }

    // Ctrl+C twice while eight paced updates run: the station cancels them and ends.
    std::vector<std::unique_ptr<TPlug>> aLast;
    for (int i = 0; i < Slots; ++i)
        aLast.push_back(soak.Plug(i, TKind::Clean, {"--latency", "10"}));
    WaitFor(
        [&] {
            return std::all_of(aLast.begin(), aLast.end(),
                               [](const auto& p) { return p->sim->Record().size() > 10; });
        },
        60s);
    soak.station->Signal(SIGINT);
    std::this_thread::sleep_for(500ms);
    soak.station->Signal(SIGINT);
    const auto tSignal = TClock::now();
    const bool bEnded = WaitFor([&] { return Ended(iStation); }, 30s);
    const double dEndS = Seconds(TClock::now() - tSignal);
    if (!bEnded)
        soak.station->Signal(SIGKILL);
    const int iExit = soak.station->Wait();
    soak.out.Read();
    for (auto& p : aLast)
        soak.TakeResult(*p);
    std::printf("Ctrl+C twice: the station ended %.2f s after the second (exit status %d)\n", dEndS,
                iExit);

    // Left over: the station's children (they name the device folder) while the simulators of the
    // last loggers still run, then anything at all once they are stopped.
    std::this_thread::sleep_for(1s);
    std::set<pid_t> aSimPids;
    for (const pid_t pid : ProcessesNaming(dir.string(), {}))
        if (ParentOf(pid) == getpid())
            aSimPids.insert(pid);
    const std::size_t iOrphanChildren = ProcessesNaming(dir.string(), aSimPids).size();
    aLast.clear();
    const std::size_t iLeftOver = ProcessesNaming(dir.string(), {}).size();

    // The journal as --history --json gives it.
    TProcess history({KELVO_UPDATE_EXE, "--history", "--json", "--since", "2000-01-01"}, soak.Env(),
                     dir / "history.out");
    const int iHistoryExit = history.Wait();
    int iRows = 0;
    int iInterrupted = 0;
    for (const std::string& s : ReadLines(dir / "history.out")) {
        const TJson o = TJson::parse(s, nullptr, false);
        if (!o.is_object())
            continue;
        ++iRows;
        iInterrupted += o.value("interrupted", false) ? 1 : 0;
    }

    const auto& aUpdates = soak.out.aUpdates;
    const int iUpdates = static_cast<int>(aUpdates.size());
    int iOneResult = 0;
    int iOneRow = 0;
    int iSucceeded = 0;
    std::map<int, int> aByStatus;
    for (const auto& [iUpdate, u] : aUpdates) {
        iOneResult += u.iResults == 1 ? 1 : 0;
        iOneRow += u.aRows.size() == 1 ? 1 : 0;
        iSucceeded += u.bSuccess ? 1 : 0;
        ++aByStatus[u.iExit];
    }
    const int iSummaryUpdates = soak.out.summary ? soak.out.summary->value("updates", -1) : -1;

    // The table.
    bool bOk = true;
    const auto row = [&](const std::string& sName, const std::string& sFigure,
                         const std::string& sTarget, bool bMet) {
        std::printf("%-62s %14s  %-14s %s\n", sName.c_str(), sFigure.c_str(), sTarget.c_str(),
                    bMet ? "ok" : "MISSED");
        bOk = bOk && bMet;
    };
    const auto num = [](auto n) {
        return std::to_string(n);
    };
    const auto fixed = [](double d, const char* sUnit) {
        char s[32];
        std::snprintf(s, sizeof s, "%.2f%s", d, sUnit);
        return std::string(s);
    };
    std::printf("\n%-62s %14s  %-14s %s\n", "check", "figure", "target", "");
    row("successes without the whole image recorded", num(soak.iWrongSuccess), "0",
        soak.iWrongSuccess == 0);
    row("updates started (update numbers)", num(iUpdates), "> 0", iUpdates > 0);
    row("updates with exactly one result", num(iOneResult), num(iUpdates), iOneResult == iUpdates);
    row("updates with exactly one journal row", num(iOneRow), num(iUpdates), iOneRow == iUpdates);
    row("distinct journal rows named by the station", num(soak.out.aRows.size()), num(iUpdates),
        static_cast<int>(soak.out.aRows.size()) == iUpdates);
    row("rows in --history --json", num(iRows), num(iUpdates),
        iHistoryExit == 0 && iRows == iUpdates);
    row("rows left interrupted after the station ended", num(iInterrupted), "0", iInterrupted == 0);
    row("updates in the station's summary", num(iSummaryUpdates), num(iUpdates),
        iSummaryUpdates == iUpdates);
    row("plug-ins without a result within 5 min", num(soak.iStuck), "0", soak.iStuck == 0);
    row("lines of the station's output that are no JSON", num(soak.out.iNotJson), "0",
        soak.out.iNotJson == 0);
    row("station ended after Ctrl+C twice (s)", fixed(dEndS, " s"), "<= 30 s", bEnded);
    row("update processes left over after the station ended", num(iOrphanChildren), "0",
        iOrphanChildren == 0);
    row("processes left over after the simulators stopped", num(iLeftOver), "0", iLeftOver == 0);
    row("station descriptors idle: at the start, after the soak",
        num(iFdStart) + " -> " + num(iFdIdle), "equal", iFdIdle == iFdStart);
    if (iRssMark > 0 && iSoakUpdates > iUpdatesMark) {
        const double dPerUpdate = static_cast<double>(iRssIdle - iRssMark) /
                                  static_cast<double>(iSoakUpdates - iUpdatesMark);
        row("resident set idle after " + num(iUpdatesMark) + " and " + num(iSoakUpdates) +
                " updates (kB)",
            num(iRssMark) + " -> " + num(iRssIdle), "", true);
        row("memory per finished update after the first " + num(iUpdatesMark),
            fixed(dPerUpdate, " kB"), "<= 1 kB", dPerUpdate <= 1.0);
    } else {
        row("memory per finished update after the first 128", "-", "<= 1 kB", false);
    }
    row("32 at once: succeeded with the whole image", num(iCrowdSucceeded), num(Crowd),
        iCrowdSucceeded == Crowd);
    if (dOneS > 0)
        row("32 at once from the last plug / one update (" + fixed(dCrowdS, " s") + " / " +
                fixed(dOneS, " s") + ")",
            fixed(dCrowdS / dOneS, ""), "<= 1.05", dCrowdS / dOneS <= 1.05);
    std::printf("\nupdates %d (soak %d, then %d at once and %d stopped by Ctrl+C), succeeded %d, "
                "failed %d; update processes killed %d\nby exit status:",
                iUpdates, iSoakUpdates, Crowd, Slots, iSucceeded, iUpdates - iSucceeded,
                soak.iKills);
    for (const auto& [iStatus, n] : aByStatus)
        std::printf("  %d: %d", iStatus, n);
    std::printf("\nsoak plug-ins by kind (exit status: updates):\n");
    for (const auto& k : Kinds) {
        int n = 0;
        std::string s;
        const auto it = aByKind.find(k.eKind);
        if (it == aByKind.end())
            continue;
        for (const auto& [iStatus, iCount] : it->second) {
            n += iCount;
            s += "  " + num(iStatus) + ": " + num(iCount);
        }
        std::printf("  %-46s %4d %s\n", k.sName, n, s.c_str());
    }
    for (const std::string& s : soak.aWrong)
        std::printf("wrong success: %s\n", s.c_str());
    std::printf("load average at the end: %s\n", bench::LoadAverage().c_str());
    if (bOk)
        fs::remove_all(dir);
    else
        std::printf("kept for a look: %s\n", dir.c_str());
    return bOk ? 0 : 1;
}
