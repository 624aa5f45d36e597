// The worker that runs one update: it owns the port for that time, wakes the logger, runs the
// device procedure and reports through notifications, ending with exactly one final notification
// (0 done, 10 status, 13 no answer) posted after the port is closed.
#pragma once

#include "link/uRS232.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

// Notification codes: (code, value) pairs posted by the worker, in order.
namespace Notify {
constexpr std::int32_t Done = 0;            // value FCmd; final
constexpr std::int32_t Progress = 1;        // value 0..99
constexpr std::int32_t Status = 10;         // value the status, or 0 for another exception; final
constexpr std::int32_t EchoDiffers = 11;    // value the line index
constexpr std::int32_t LineBad = 12;        // value the line index
constexpr std::int32_t NoAnswer = 13;       // value FCmd; final, the update is repeated
constexpr std::int32_t Class = 20;          // logger class
constexpr std::int32_t Version = 21;        // version word
constexpr std::int32_t Platform = 22;       // platform code
constexpr std::int32_t Print = 23;          // print (board-variant) code
constexpr std::int32_t InfoWord = 24;       // information word of the platform reply
constexpr std::int32_t UpidId = 25;         // logger class from the update-ID block
constexpr std::int32_t TransferBegins = 26; // value FCmd
constexpr std::int32_t Candidate = 27;      // catalogue index under examination
constexpr std::int32_t UpidInfo = 28;       // info word of the update-ID block
constexpr std::int32_t Serial = 29; // serial number (32 bits) of a logger in its application
constexpr std::int32_t PinFromJournal = 30; // serial number that an interrupted earlier run read
// The earlier run is tied to this logger by the port name only (no converter identity):
constexpr std::int32_t PinAsk = 31;        // its serial number; the worker waits for iPinAnswer
constexpr std::int32_t PinNotTaken = 32;   // its serial number, not applied
constexpr std::int32_t SerialUnknown = 33; // its serial number is pinned: the logger is not updated
constexpr std::int32_t LabelSerial = 34;   // the serial number from the label, applied
constexpr std::int32_t SerialDiffers = 35; // the serial number the application reports instead
constexpr std::int32_t VectorLine = 40;    // 0 held back, 1 being sent now
} // namespace Notify

// Where a worker posts its notifications. Post must not block the worker and must keep the order
// of the posts; it is called from the worker thread.
class TNotifyTarget {
public:
    virtual ~TNotifyTarget() = default;
    virtual void Post(std::int32_t iCode, std::int32_t iValue) noexcept = 0;
};

// Set by the window thread to stop the running update at its next exchange attempt; cleared when
// an update starts.
extern std::atomic<bool> bCancel;

// What one run (an update and the repeats it makes by itself on the same port) keeps from one
// worker to the next. The run's controller owns it and hands it to each worker; a worker writes it
// while it runs, and the controller starts the next worker only after the previous one has ended,
// so it needs no lock.
struct TRunRecord {
    // The logger as the run's first identification of its application found it. A repeat that
    // finds the logger already in its bootloader selects with these, as the first attempt did.
    bool bIdentified = false;
    std::uint32_t iSerial = 0;
    std::uint16_t iAppVersion = 0;
    // What an earlier run on the same converter read of a logger that it left in its bootloader
    // (the controller finds it in the update journal before the first worker starts). A run that
    // finds the logger in its bootloader at once, with the hardware that run recorded, selects
    // with that serial number and application version, as if it had found the application.
    struct TEarlierRun {
        std::uint32_t iSerial = 0;
        std::uint16_t iAppVersion = 0;
        std::uint16_t iBootClass = 0;
        std::uint16_t iBootVersion = 0;
        std::uint16_t iPlatform = 0;
        std::uint16_t iPrint = 0;
        // Found through the converter's identity; false: through the port name alone, which a
        // station's next logger shares, so it is not the same logger by itself.
        bool bByConverter = false;
    };
    std::optional<TEarlierRun> earlier;
    // What becomes of an earlier run found through the port name alone whose hardware fits:
    // Ask posts Notify::PinAsk and waits for iPinAnswer; Withhold never applies it, and a logger
    // whose earlier serial number is pinned is then not updated.
    enum class TPortNamePin : std::uint8_t { Ask, Withhold };
    TPortNamePin portNamePin = TPortNamePin::Withhold;
    // The controller's answer to Notify::PinAsk: -1 none yet, 0 no, 1 yes. Kept for the repeats
    // of the run, which do not ask again.
    std::atomic<int> iPinAnswer{-1};
    // The serial number from the logger's label (0: none given): a logger found in its bootloader
    // is selected for with it, a logger whose application reports another one is refused.
    std::uint32_t iLabelSerial = 0;
    // The data lines that the logger took, echo compared, over every worker of the run. Atomic:
    // the controller reads it while a worker runs, to tell how far the transfer has come.
    std::atomic<std::int32_t> iLinesSent = 0;
    // Why the latest worker could not open its port, or why a call on the open port failed, in
    // the system's terms; empty otherwise.
    std::string sPortReason;
    // The latest identification found the logger in its bootloader (or the restart after a
    // finish request has not been confirmed yet): it waits there, unfinished, until an update
    // is completed.
    bool bInBootloader = false;
    // The latest attempt sent the finish request and has not yet heard the restarted logger: a
    // port lost now leaves unknown whether the logger restarted into its new image.
    bool bFinishRequested = false;
};

// How a worker opens its port: OpenComPort, or a test's fake. On failure the opener may say why in
// *psReason.
using TPortOpener =
    std::function<TPortHandle(const std::string& sPort, std::int32_t iBaud, std::string* psReason)>;

class TCommThread {
public:
    // Stores the arguments; the thread is started by CreateCommThread once the object is complete.
    // pRun: the run this worker belongs to (nullptr: a run of its own).
    TCommThread(TNotifyTarget& hWindow, std::int32_t cmd, std::string sPort,
                TPortOpener openPort = OpenComPort, TRunRecord* pRun = nullptr);
    virtual ~TCommThread();
    TCommThread(const TCommThread&) = delete;
    TCommThread& operator=(const TCommThread&) = delete;

    // Waits until the thread has ended (its final notification is posted by then).
    void WaitFor();
    // True once Execute has ended.
    bool Finished() const { return FbFinished.load(); }
    // The final notification (code, value) once Execute has ended, whether or not its target
    // delivered it; nothing before.
    std::optional<std::pair<std::int32_t, std::int32_t>> FinalNotification() const;

    // CRC-16/MODBUS of the update-ID record: the five words, each low byte first.
    static std::uint16_t calculateCRC16(std::uint16_t upid_id, std::uint16_t upid_info,
                                        std::uint16_t upid_platform, std::uint16_t upid_print,
                                        std::uint16_t upid_reserve);

    static constexpr std::size_t BufferSize = 1501;

protected:
    // The device procedure: returns on success, raises EQuarn otherwise.
    virtual void DoProcess() = 0;

    // The update frame: open, wake the logger twice, DoProcess, close, one final notification.
    void Execute() noexcept;

    // Command frames: one frame under the retry rule; true, or an EQuarn.
    bool SendCommand(bool bAnswer, std::uint8_t iCmd, std::uint8_t d1, std::uint8_t d2,
                     std::uint8_t d3, std::uint8_t d4, std::uint8_t d5, std::uint8_t d6);
    // One attempt with the frame in FTxBuffer: true, false (may be repeated) or an EQuarn.
    bool TxRxFrame(bool bAnswer);

    // HEX lines: one attempt; up to five attempts; the reply as text.
    bool TxRxLine(const std::string& sLine, std::uint8_t n);
    bool SendLine(const std::string& sLine, std::uint8_t n, bool bRaise);
    void GetRxLine(std::string& sLine) const;

    void SetProgress(std::int32_t iCurrent, std::int32_t iTotal);
    void ResetProgress() { FnProgres = 0; }
    void ClosePort();
    // A call on the open port failed: its reason goes to the run record, status 11 is raised.
    [[noreturn]] void PortFailed(const char* sCall);
    void Post(std::int32_t iCode, std::int32_t iValue) noexcept { FhWindow.Post(iCode, iValue); }
    // The protocol's fixed waits and the pause between attempts. On an open port the wait ends
    // as soon as the device hangs up: status 11, its reason in the run record.
    virtual void Sleep(std::int32_t iMs);

    std::int32_t FCmd;
    std::array<std::uint8_t, BufferSize> FTxBuffer{};
    std::array<std::uint8_t, BufferSize> FRxBuffer{};
    std::int32_t FRxCnt = 0;
    TNotifyTarget& FhWindow;
    std::string FsPort;
    TPortHandle FhPort;
    std::int32_t FnProgres = 0;
    // The run this worker belongs to: the controller's record, or FOwnRun for a worker alone.
    TRunRecord FOwnRun;
    TRunRecord& FRun;

private:
    template <class T> friend class TCommThreadStarter;
    void Start();

    TPortOpener FOpenPort;
    std::thread FThread;
    // Written before FbFinished is set, read only after it is seen set.
    std::int32_t FiFinalCode = Notify::Done;
    std::int32_t FiFinalValue = 0;
    std::atomic<bool> FbFinished{false};
};

// Owns a running worker: releasing it waits for the thread first, so no thread outlives its
// object and no object is destroyed under its running thread.
struct TCommThreadRelease {
    void operator()(TCommThread* p) const {
        p->WaitFor();
        std::default_delete<TCommThread>{}(p);
    }
};
using TCommThreadPtr = std::unique_ptr<TCommThread, TCommThreadRelease>;

// Builds the complete worker of class T, then starts its thread.
template <class T> class TCommThreadStarter {
public:
    static TCommThreadPtr Create(TNotifyTarget& hWindow, std::int32_t cmd, const std::string& sPort,
                                 TPortOpener openPort, TRunRecord* pRun) {
        TCommThreadPtr p(
            std::make_unique<T>(hWindow, cmd, sPort, std::move(openPort), pRun).release());
        p->Start();
        return p;
    }
};

// The class of which every worker is made; set once at program start-up.
using TCommThreadClass = TCommThreadPtr (*)(TNotifyTarget& hWindow, std::int32_t cmd,
                                            const std::string& sPort, TPortOpener openPort,
                                            TRunRecord* pRun);
extern TCommThreadClass CommThreadClass;

template <class T> constexpr TCommThreadClass CommThreadClassOf() {
    return &TCommThreadStarter<T>::Create;
}
