// kelvo-update against kelvo-logger-sim, real processes over a pseudo-terminal: the fixture of the
// end-to-end tests, the simulator they use, and the texts and counts that the tests of the
// command line (the workshop station's included) look for.
#pragma once

#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// The lines a simulator records for a whole update: three bootloader commands, the image's 783
// lines, the finish.
inline constexpr std::size_t WholeImage = 3 + 783 + 1;

// The note at the end of a run that left the logger unfinished in its bootloader.
inline const std::string LoggerWaits =
    "The logger is waiting in its bootloader: run the update again to finish it.";

// The same when nothing could tell the logger's serial number in its bootloader.
inline const std::string LoggerWaitsSerialUnknown =
    "The logger is waiting in its bootloader, where it does not tell its serial number: update it "
    "again with the serial number from its label (kelvo-update --serial N, or the serial number "
    "field of the internal mode).";
// The outcome when an earlier run on the same port name alone names a pinned serial number.
inline const std::string SerialUnknown =
    "in its bootloader, serial unknown: update it with --serial";

// The outcome of a run whose line went away (a hang-up, an unplugged converter).
inline const std::string Hangup = "Aborted because error when reading/writing to serial port!";

// What follows the serial number that the journal gave for a logger found in its bootloader.
inline const std::string PinLine = "taken from the interrupted update of";

// The simulator of these tests: the preset or settings given, recording what it accepted.
class TSim : public TSimProcess {
public:
    TSim(const std::filesystem::path& dir, const std::vector<std::string>& aArgs);
    // The simulator's standard error: its log with --verbose.
    const std::filesystem::path& Log() const { return FLog; }

private:
    std::filesystem::path FLog;
};

// Simulators, each in a folder of its own under dir (its record and log).
std::vector<std::unique_ptr<TSim>> Sims(const std::filesystem::path& dir,
                                        const std::vector<std::vector<std::string>>& aArgs);

struct TCliRun {
    int iExit;
    std::string sOut; // standard output: the report and the outcome
    std::string sErr; // standard error: diagnostics
};

// A folder, a configuration and a journal of the test's own; kelvo-update run in it.
struct EndToEnd : ::testing::Test {
    std::filesystem::path dir;
    std::filesystem::path configHome;
    std::filesystem::path journal;

    void SetUp() override;
    void TearDown() override;
    // The configuration that opens the internal mode.
    void InternalMode() const;

    // kelvo-update with aArgs, its output into dir/cli.out (and .err); aEnv added.
    std::unique_ptr<TProcess> StartCli(std::vector<std::string> aArgs,
                                       std::vector<std::string> aEnv = {}) const;
    // kelvo-update with aArgs, to its end.
    TCliRun Cli(const std::vector<std::string>& aArgs) const;
    // A file in the firmware file format with the header of entry 9's hardware.
    std::filesystem::path FirmwareFile(const std::string& sBootloader,
                                       const std::vector<std::string>& aLines);
};
