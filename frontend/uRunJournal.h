// One run's row in the update journal, kept as the run goes on: the update session hands it what
// its run learns, and what is learnt is written at once, so a run that never ends its row (killed,
// the power gone) still tells what it knew. It never stops, slows or changes an update: the row is
// written by a thread of its own, which waits out another program holding the file for a while;
// a journal that cannot be opened or written gives one warning, and the run goes on without it.
#pragma once

#include "journal/uJournal.h"
#include "link/uCommThread.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// What identifies the USB serial converter behind sPort: its by-id name (Linux), else its USB
// serial number (on Windows from the device instance ID); empty when the system tells neither
// (then the port name has to do).
std::string ConverterOf(const std::string& sPort);

// Completes the row iId of a run whose program ended before it completed the row itself (killed,
// crashed): the status, the outcome, the data lines sent as far as they are known, and whether
// the logger was left in its bootloader. A row that its run completed is left as it is. Opens the
// journal for this alone, on the caller's thread; the warning when that failed, else empty.
std::string CompleteUnendedRun(std::int64_t iId, std::int32_t iStatus, const std::string& sText,
                               std::int32_t iLinesSent, bool bLeftInBootloader);

class TRunJournal {
public:
    struct TStart {
        std::string sProgram; // "kelvo-update", "kelvo-firmware-update"
        std::string sPort;
        std::string sFileName; // the firmware file, or empty for the built-in images
        std::string sFileSha256;
    };
    // How long the writer waits out a journal held by another program before it gives up.
    static constexpr int GiveUpAfterMs = 30000;

    // Opens the journal (JournalPath) and writes the run's row, on the caller's thread.
    explicit TRunJournal(const TStart& start);
    // Waits until the latest state of the row is written (or the writer has given up).
    ~TRunJournal();
    TRunJournal(const TRunJournal&) = delete;
    TRunJournal& operator=(const TRunJournal&) = delete;

    // Before the run's first worker: what an interrupted earlier run on the same converter (or,
    // where the converter tells no identity, on the same port name) read of its logger, for the
    // serial-number rule (TRunRecord::earlier).
    void Prepare(TRunRecord& run);
    // Every notification of the run's workers, in their order.
    void Notification(std::int32_t iCode, std::int32_t iValue);
    // The report line of Notify::PinFromJournal: the serial number and when that run was.
    std::string PinLine() const;
    // When the earlier run that Prepare found began (UTC); empty when there is none.
    const std::string& EarlierStarted() const { return FsEarlierStarted; }
    // A repeat of the run starts.
    void Repeat();
    // The run has ended with iStatus (0: success, 1: a fatal end), the outcome sText and, for a
    // port that could not be opened or used, sReason; it left the logger in its bootloader or
    // not, or cannot tell (bRestartUnconfirmed: the port was lost while the logger restarted);
    // run is its record.
    void End(std::int32_t iStatus, const std::string& sText, const std::string& sReason,
             bool bLeftInBootloader, bool bRestartUnconfirmed, const TRunRecord& run);
    // The row's id in the journal; 0 when the journal could not be written.
    std::int64_t RowId() const { return FRow->iId; }
    // Waits until what was handed over so far is written, or the writer has given up.
    void Flush();
    // The warnings since the last call ("warning: ..."): at most one for the whole run.
    std::vector<std::string> TakeWarnings();

private:
    // Runs a call on the journal from the caller's thread; the first failure warns and ends the
    // journal for this run.
    template <class F> void Guarded(F f);
    // Hands the row as it is now to the writer.
    void Write();
    void Warn(std::string s);
    void WriterLoop();

    std::unique_ptr<TJournalRun> FRow;
    // The writer's state, under FLock: the latest row not written yet (each write rewrites the
    // whole row, so a newer one replaces an older one that is still waiting), whether a write
    // is under way, the end of the writer, the warnings.
    std::mutex FLock;
    std::condition_variable FChanged;
    std::optional<TJournalRun> FPending;
    bool FbWriting = false;
    bool FbStop = false;
    std::vector<std::string> FaWarnings;
    // The connection: used by the caller's thread until the writer starts, then by the writer
    // alone; gone after the first failure.
    std::unique_ptr<TJournal> FJournal;
    std::thread FWriter;                   // started by the first Write
    bool FbBootloaderNow = false;          // the latest class was a bootloader's
    std::string FsEarlierStarted;          // when the earlier run of Prepare began
    std::uint16_t FiEarlierAppVersion = 0; // and the application version it read
};
