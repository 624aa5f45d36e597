#include "tests/e2e/EndToEnd.h"

#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

TSim::TSim(const fs::path& dir, const std::vector<std::string>& aArgs)
    : TSimProcess(KELVO_SIM_EXE, dir, aArgs), FLog(dir / "sim.out.err") {}

std::vector<std::unique_ptr<TSim>> Sims(const fs::path& dir,
                                        const std::vector<std::vector<std::string>>& aArgs) {
    std::vector<std::unique_ptr<TSim>> a;
    for (std::size_t i = 0; i < aArgs.size(); ++i) {
        const fs::path sub = dir / ("sim" + std::to_string(i));
        fs::create_directories(sub);
        a.push_back(std::make_unique<TSim>(sub, aArgs[i]));
    }
    return a;
}

void EndToEnd::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = fs::temp_directory_path() /
          ("kelvo-e2e-" + std::string(info->name()) + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "config" / "Orlenta");
    configHome = dir / "config";
    // Every program this test starts records its runs in a journal of the test's own.
    journal = dir / "journal.sqlite3";
    ::setenv("KELVO_JOURNAL", journal.c_str(), 1);
}

void EndToEnd::TearDown() {
    if (!HasFailure())
        fs::remove_all(dir);
}

void EndToEnd::InternalMode() const {
    std::ofstream(configHome / "Orlenta" / "Quarn.conf") << "intern=7315\n";
}

std::unique_ptr<TProcess> EndToEnd::StartCli(std::vector<std::string> aArgs,
                                             std::vector<std::string> aEnv) const {
    aArgs.insert(aArgs.begin(), KELVO_UPDATE_EXE);
    aEnv.push_back("XDG_CONFIG_HOME=" + configHome.string());
    return std::make_unique<TProcess>(aArgs, aEnv, dir / "cli.out");
}

TCliRun EndToEnd::Cli(const std::vector<std::string>& aArgs) const {
    const int iExit = StartCli(aArgs)->Wait();
    return {iExit, ReadFile(dir / "cli.out"), ReadFile(dir / "cli.out.err")};
}

fs::path EndToEnd::FirmwareFile(const std::string& sBootloader,
                                const std::vector<std::string>& aLines) {
    const fs::path p = dir / "firmware.kfw";
    std::ofstream f(p);
    f << "bootloader=" << sBootloader
      << "\nbootloader version=0\nclass=26113\nversionH=5\nversionL=200\nplatform=12\n"
         "print=44\ndate=01.01.2026 00:00:00\n";
    for (const auto& s : aLines)
        f << s << "\n";
    return p;
}
