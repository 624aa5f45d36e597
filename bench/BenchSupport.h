// What the benchmarks that run simulated loggers and read processes from /proc share. Needs
// KELVO_SIM_EXE defined where StartLoggers is used.
#pragma once

#include "tests/support/Process.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

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
