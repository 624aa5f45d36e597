// What the GUI tests share: a worker without the protocol's waits, the simulated logger behind
// the fake port, a main window whose dialogs are answered by the test, and the option store.
#pragma once

#include "device/uKelvoCommThread.h"
#include "sim/uLoggerModel.h"
#include "tests/support/FakeSerial.h"
#include "ui/uMain.h"

#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The update procedure without its fixed waits. While bHold is set, every wait blocks until the
// operator cancels: the update then stands still with its port open.
class TTestKelvo : public TKelvoCommThread {
public:
    using TKelvoCommThread::TKelvoCommThread;
    static inline std::atomic<bool> bHold{false};
    static inline std::atomic<int> iWaiting{0};

protected:
    void Sleep(std::int32_t iMs) override;
};

// Puts the update options, the catalogue selection and the worker class back to their start.
void ResetGlobals();

// The internal-mode store holding the code iCode, or nothing, for the test's time. POSIX:
// XDG_CONFIG_HOME pointing at a store with "intern=<iCode>", or at an empty folder. Windows: the
// value "intern" under HKCU "Software\Orlenta\Quarn", put back as it was at the end.
class TOptionStore {
public:
    explicit TOptionStore(bool bInternal, long long iCode = 7315);
    ~TOptionStore();
    TOptionStore(const TOptionStore&) = delete;
    TOptionStore& operator=(const TOptionStore&) = delete;

private:
    QTemporaryDir FDir;
    std::optional<std::uint32_t> FiBefore;  // Windows: the value found at the start
    std::optional<std::uint32_t> FiWritten; // Windows: the value this store holds
};

// Answers the window's questions with "Yes", keeping them in aQuestions, and keeps its result
// messages in aMessages.
void RecordDialogs(TfrmMain& w, QStringList& aQuestions, QStringList& aMessages);

// One main window with its secondary windows, driven against the simulated logger.
struct TRig {
    explicit TRig(TLoggerConfig config = {}, std::vector<std::string> aParams = {},
                  std::string sDevDir = "/nonexistent-dev");
    ~TRig();

    // The report lines without their time prefix.
    QStringList Report() const;
    // Waits until the update has ended (idle, no restart pending).
    bool WaitIdle(int iTimeoutMs = 10000);

    TLoggerModel model;
    TFakeSerial fake;
    std::atomic<int> iOpens{0};
    std::vector<std::string> aQuestions;
    std::vector<std::string> aMessages;
    bool bAnswer = true;
    std::unique_ptr<TfrmMain> main;
};

// A firmware file with the given header lines (and the end record as its only image line).
std::string WriteFwFile(const QTemporaryDir& dir, const std::string& sName,
                        const std::string& sHeader);
