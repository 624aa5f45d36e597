// One run's row in the update journal, kept as the run goes on: every front end hands it what its
// run learns, and what is learnt is written at once, so a run that never ends its row (killed, the
// power gone) still tells what it knew. It never stops or changes an update: a journal that cannot
// be opened or written gives one warning, and the run goes on without it.
#pragma once

#include "link/uCommThread.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TJournal;
struct TJournalRun;

// What identifies the USB serial converter behind sPort: its by-id name, else its USB serial
// number; empty when the system tells neither (then the port name has to do).
std::string ConverterOf(const std::string& sPort);

class TRunJournal {
public:
    struct TStart {
        std::string sProgram; // "kelvo-update", "kelvo-firmware-update"
        std::string sPort;
        std::string sFileName; // the firmware file, or empty for the built-in images
        std::string sFileSha256;
    };
    using TWarn = std::function<void(const std::string& sWarning)>;

    // Opens the journal (JournalPath) and writes the run's row. onWarning gets at most one line.
    TRunJournal(const TStart& start, TWarn onWarning);
    ~TRunJournal();
    TRunJournal(const TRunJournal&) = delete;
    TRunJournal& operator=(const TRunJournal&) = delete;

    // Before the run's first worker: what an interrupted earlier run on the same converter read
    // of its logger, for the serial-number rule (TRunRecord::earlier).
    void Prepare(TRunRecord& run);
    // Every notification of the run's workers, in their order.
    void Notification(std::int32_t iCode, std::int32_t iValue);
    // The report line of Notify::PinFromJournal: the serial number and when that run was.
    std::string PinLine() const;
    // A repeat of the run starts.
    void Repeat();
    // The run has ended with iStatus (0: success) and the outcome sText; run is its record.
    void End(std::int32_t iStatus, const std::string& sText, const TRunRecord& run);

private:
    // Runs a write; the first failure warns and ends the journal for this run.
    template <class F> void Guarded(F f);
    void Write();

    TWarn FOnWarning;
    std::unique_ptr<TJournal> FJournal;
    std::unique_ptr<TJournalRun> FRow;
    bool FbBootloaderNow = false;          // the latest class was a bootloader's
    std::string FsEarlierStarted;          // when the earlier run of Prepare began
    std::uint16_t FiEarlierAppVersion = 0; // and the application version it read
};
