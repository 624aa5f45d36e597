// Many consecutive updates in one process against the unpaced simulated logger, alternating a
// plain update, an echo mismatch that is repeated, and a cancel. Prints the failures, the open
// descriptors and the resident set at the start, the middle and the end.
#include "bench/BenchSupport.h"
#include "device/uKelvoCommThread.h"
#include "firmware/uFWVersions.h"
#include "frontend/uUpdateSession.h"
#include "link/uExceptions1V0.h"
#include "tests/support/Process.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::size_t OpenDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

enum class TKind { Plain, EchoRepeat, Cancel };

// One update against a fresh simulator; true when it ended as this kind must.
bool RunOne(TKind eKind, const fs::path& dir) {
    std::vector<std::string> aArgs{"--preset", "entry9"};
    if (eKind == TKind::EchoRepeat) {
        aArgs.push_back("--fault");
        aArgs.push_back("line:echo:100");
    }
    TSimProcess sim(KELVO_SIM_EXE, dir, aArgs);
    bCancel = false;
    bInterrupted = false;
    iFwIndex = -1;
    TSessionSettings settings;
    settings.sPort = sim.sPort;
    int iStarts = 0;
    TUpdateSession session(settings, [&](const TStep& step) {
        if (step.action == TAction::BeginUpdate)
            ++iStarts;
        // Cancel as the operator does, once a quarter of the image has gone.
        if (eKind == TKind::Cancel && step.action == TAction::Progress && step.iValue >= 25)
            session.Cancel();
    });
    const TRunResult r = session.Run();
    sim.Stop();
    switch (eKind) {
    case TKind::Plain:
        return r.bSuccess && iStarts == 1;
    case TKind::EchoRepeat:
        return r.bSuccess && iStarts == 2;
    case TKind::Cancel:
        return !r.bSuccess && r.iStatus == Status::Cancelled;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const int iCount = argc > 1 ? std::atoi(argv[1]) : 200;
    if (iCount <= 0) {
        std::fprintf(stderr, "usage: soak [COUNT]\n");
        return 2;
    }
    CommThreadClass = CommThreadClassOf<TKelvoCommThread>();
    const fs::path dir = fs::temp_directory_path() / ("kelvo-soak-" + std::to_string(getpid()));
    fs::create_directories(dir);

    int iFailures = 0;
    std::size_t iFdStart = 0;
    long iRssStart = 0;
    const auto report = [&](const char* sWhen, int iDone) {
        std::printf("%-6s after %3d updates: %d failures, %zu descriptors, RSS %ld kB\n", sWhen,
                    iDone, iFailures, OpenDescriptors(), bench::RssKb(::getpid()));
        std::fflush(stdout);
    };
    for (int i = 0; i < iCount; ++i) {
        if (!RunOne(static_cast<TKind>(i % 3), dir)) {
            ++iFailures;
            std::printf("update %d (%s) did not end as it should\n", i + 1,
                        i % 3 == 0 ? "plain" : (i % 3 == 1 ? "echo mismatch" : "cancel"));
        }
        if (i == 0) {
            // The first update sets up what stays for the process's life (thread runtime,
            // locale, allocator pools): measure from there.
            iFdStart = OpenDescriptors();
            iRssStart = bench::RssKb(::getpid());
            report("start", 1);
        } else if (i == iCount / 2) {
            report("middle", i + 1);
        }
    }
    report("end", iCount);
    fs::remove_all(dir);
    const long iGrowth = bench::RssKb(::getpid()) - iRssStart;
    const bool bOk = iFailures == 0 && OpenDescriptors() == iFdStart && iGrowth < 1024;
    std::printf("result: %s (%d failures, descriptors %zu -> %zu, RSS growth %ld kB; target 0, "
                "equal, < 1024 kB)\n",
                bOk ? "ok" : "MISSED", iFailures, iFdStart, OpenDescriptors(), iGrowth);
    return bOk ? 0 : 1;
}
