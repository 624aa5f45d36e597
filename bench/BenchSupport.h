// What the benchmarks that run simulated loggers and read processes from /proc share. Needs
// KELVO_SIM_EXE defined where StartLoggers is used.
#pragma once

#include "tests/support/Process.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace bench {

using TClock = std::chrono::steady_clock;

inline double Seconds(TClock::duration t) {
    return std::chrono::duration<double>(t).count();
}

// Waits until bDone, looking every 50 ms, at most tLimit; false when the time ran out.
inline bool WaitFor(const std::function<bool()>& bDone, TClock::duration tLimit) {
    const auto tEnd = TClock::now() + tLimit;
    while (!bDone()) {
        if (TClock::now() > tEnd)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// iLoggers simulators of image 9 with aSimArgs, each with its files in dir/simN.
inline std::vector<std::unique_ptr<TSimProcess>>
StartLoggers(const std::filesystem::path& dir, const std::vector<std::string>& aSimArgs,
             int iLoggers) {
    std::vector<std::string> aSim{"--preset", "entry9"};
    aSim.insert(aSim.end(), aSimArgs.begin(), aSimArgs.end());
    std::vector<std::unique_ptr<TSimProcess>> aSims;
    for (int i = 0; i < iLoggers; ++i) {
        const std::filesystem::path sub = dir / ("sim" + std::to_string(i));
        std::filesystem::create_directories(sub);
        aSims.push_back(std::make_unique<TSimProcess>(KELVO_SIM_EXE, sub, aSim));
    }
    return aSims;
}

// The loggers plugged in one after another within tSpread: each simulator's port given the name
// name(i).
inline void PlugWithin(const std::vector<std::unique_ptr<TSimProcess>>& aSims,
                       const std::function<std::filesystem::path(int)>& name,
                       TClock::duration tSpread) {
    for (std::size_t i = 0; i < aSims.size(); ++i) {
        if (i > 0)
            std::this_thread::sleep_for(tSpread / static_cast<long>(aSims.size() - 1));
        std::filesystem::create_symlink(aSims[i]->sPort, name(static_cast<int>(i)));
    }
}

// The context switches of all threads of pid so far: the times they gave up the CPU to wait
// (voluntary), and with bPreempted also the times they were preempted.
inline long ContextSwitches(pid_t pid, bool bPreempted) {
    long n = 0;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream status(task.path() / "status");
        for (std::string s; std::getline(status, s);) {
            if (s.starts_with("voluntary_ctxt_switches:") ||
                (bPreempted && s.starts_with("nonvoluntary_ctxt_switches:")))
                n += std::stol(s.substr(s.find(':') + 1));
        }
    }
    return n;
}

// The resident set of pid in kB.
inline long RssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string s; std::getline(status, s);) {
        if (s.starts_with("VmRSS:"))
            return std::stol(s.substr(6));
    }
    return 0;
}

inline std::string LoadAverage() {
    std::string s;
    std::getline(std::ifstream("/proc/loadavg"), s);
    return s;
}

} // namespace bench
