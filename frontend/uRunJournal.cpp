#include "frontend/uRunJournal.h"

#include "device/uKelvoCommThread.h"
#include "firmware/uFWVersions.h"
#include "frontend/uNotifyTexts.h"
#include "frontend/uPortList.h"
#include "journal/uJournal.h"
#include "uVersionInfo.h"

#include <chrono>
#include <exception>
#include <utility>

std::string ConverterOf(const std::string& sPort) {
    const std::string sIdentity = PortIdentity(sPort);
    for (const TPortDetails& d : ListPortDetails(PortDeviceDir())) {
        if (PortIdentity(d.sPort) == sIdentity)
            return !d.sById.empty() ? d.sById : d.sSerial;
    }
    return {};
}

TRunJournal::TRunJournal(const TStart& start) : FRow(std::make_unique<TJournalRun>()) {
    FRow->sProgram = start.sProgram;
    FRow->sVersion = KelvoVersion;
    FRow->sPort = start.sPort;
    FRow->sFileName = start.sFileName;
    FRow->sFileSha256 = start.sFileSha256;
    try {
        FRow->sComputer = ComputerName();
        FRow->sConverter = ConverterOf(start.sPort);
        std::string sNotice;
        FJournal = TJournal::Open(JournalPath(), &sNotice);
        if (!sNotice.empty())
            Warn("warning: " + sNotice);
        FRow->sStarted = UtcNow();
        FJournal->Begin(*FRow);
    } catch (const std::exception& e) {
        FJournal.reset();
        Warn(std::string("warning: the update journal is not written: ") + e.what());
    }
}

TRunJournal::~TRunJournal() {
    {
        const std::lock_guard guard(FLock);
        FbStop = true;
    }
    FChanged.notify_all();
    if (FWriter.joinable())
        FWriter.join();
}

void TRunJournal::Warn(std::string s) {
    const std::lock_guard guard(FLock);
    FaWarnings.push_back(std::move(s));
}

std::vector<std::string> TRunJournal::TakeWarnings() {
    const std::lock_guard guard(FLock);
    return std::exchange(FaWarnings, {});
}

template <class F> void TRunJournal::Guarded(F f) {
    if (!FJournal)
        return;
    try {
        f();
    } catch (const std::exception& e) {
        FJournal.reset();
        Warn(std::string("warning: the update journal is not written any more: ") + e.what());
    }
}

void TRunJournal::Write() {
    // FJournal belongs to the writer once it runs.
    if (!FWriter.joinable() && !FJournal)
        return; // never opened, or given up before the writer started
    {
        const std::lock_guard guard(FLock);
        FPending = *FRow;
    }
    if (!FWriter.joinable())
        FWriter = std::thread([this] { WriterLoop(); });
    FChanged.notify_all();
}

void TRunJournal::Flush() {
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [&] { return !FPending && !FbWriting; });
}

void TRunJournal::WriterLoop() {
    using TClock = std::chrono::steady_clock;
    std::unique_lock lock(FLock);
    // Since when the journal has been held by another program without a break.
    bool bBusy = false;
    TClock::time_point tBusySince{};
    for (;;) {
        FChanged.wait(lock, [&] { return FPending || FbStop; });
        if (!FPending)
            return; // stopped with everything written
        TJournalRun row = std::move(*FPending);
        FPending.reset();
        FbWriting = true;
        lock.unlock();
        bool bRetry = false;
        std::string sFailure;
        if (FJournal) {
            try {
                FJournal->Update(row);
                bBusy = false;
            } catch (const EJournal& e) {
                const auto t = TClock::now();
                if (!bBusy)
                    tBusySince = t;
                bBusy = true;
                bRetry = e.IsBusy() && t - tBusySince < std::chrono::milliseconds(GiveUpAfterMs);
                if (!bRetry) {
                    FJournal.reset();
                    sFailure = e.what();
                }
            } catch (const std::exception& e) {
                FJournal.reset();
                sFailure = e.what();
            }
        }
        if (bRetry)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        lock.lock();
        FbWriting = false;
        // A row that could not be written yet is written again, unless a newer one has come.
        if (bRetry && !FPending)
            FPending = std::move(row);
        if (!sFailure.empty())
            FaWarnings.push_back("warning: the update journal is not written any more: " +
                                 sFailure);
        FChanged.notify_all();
    }
}

void TRunJournal::Prepare(TRunRecord& run) {
    Guarded([&] {
        const std::optional<TJournalRun> e =
            FJournal->InterruptedRunOn(FRow->sConverter, FRow->sPort, FRow->iId);
        if (!e || !e->iSerial || !e->iAppVersion || !e->iBootClass || !e->iBootVersion ||
            !e->iPlatform || !e->iPrint)
            return;
        // Without a converter identity the earlier run was looked up by the port name.
        run.earlier = TRunRecord::TEarlierRun{
            *e->iSerial,   *e->iAppVersion, *e->iBootClass,           *e->iBootVersion,
            *e->iPlatform, *e->iPrint,      !FRow->sConverter.empty()};
        FsEarlierStarted = e->sStarted;
        FiEarlierAppVersion = *e->iAppVersion;
    });
}

void TRunJournal::Notification(std::int32_t iCode, std::int32_t iValue) {
    const auto u16 = static_cast<std::uint16_t>(iValue & 0xFFFF);
    switch (iCode) {
    case Notify::Class:
        FbBootloaderNow = Kelvo::IsBootloaderClass(u16);
        if (FbBootloaderNow)
            FRow->iBootClass = u16;
        else if (!FRow->iClass)
            FRow->iClass = u16;
        break;
    case Notify::Version:
        // Each identification of the first stage: the bootloader's version or the application's.
        if (FbBootloaderNow)
            FRow->iBootVersion = u16;
        else if (!FRow->iAppVersion)
            FRow->iAppVersion = u16;
        Write();
        break;
    case Notify::Serial:
        FRow->iSerial = static_cast<std::uint32_t>(iValue);
        Write();
        break;
    case Notify::Platform:
        FRow->iPlatform = u16;
        break;
    case Notify::Print:
        FRow->iPrint = u16;
        Write();
        break;
    case Notify::PinFromJournal:
        // Recorded as this run's own, so that a run after another interruption still knows it.
        FRow->iSerial = static_cast<std::uint32_t>(iValue);
        FRow->iAppVersion = FiEarlierAppVersion;
        Write();
        break;
    case Notify::LabelSerial:
        // The operator's serial number; the application version stays unknown.
        FRow->iSerial = static_cast<std::uint32_t>(iValue);
        Write();
        break;
    case Notify::TransferBegins:
        // The worker has selected iFwIndex before it posted this.
        FRow->iEntry = iFwIndex;
        FRow->sImage = FirmwareDescription(iFwIndex);
        Write();
        break;
    default:
        break;
    }
}

std::string TRunJournal::PinLine() const {
    return "Serial number " + std::to_string(FRow->iSerial.value_or(0)) +
           " taken from the interrupted update of " + FsEarlierStarted +
           ", which read it before the logger was left in its bootloader";
}

void TRunJournal::Repeat() {
    ++FRow->iRepeats;
    Write();
}

void TRunJournal::End(std::int32_t iStatus, const std::string& sText, const std::string& sReason,
                      bool bLeftInBootloader, bool bRestartUnconfirmed, const TRunRecord& run) {
    FRow->sEnded = UtcNow();
    FRow->iStatus = iStatus;
    FRow->sStatusText = sText;
    FRow->sReason = sReason;
    FRow->iLinesSent = run.iLinesSent;
    FRow->bLeftInBootloader = bLeftInBootloader;
    FRow->bRestartUnconfirmed = bRestartUnconfirmed;
    Write();
}

std::string CompleteUnendedRun(std::int64_t iId, std::int32_t iStatus, const std::string& sText,
                               std::int32_t iLinesSent, bool bLeftInBootloader) {
    try {
        TJournal::Open(JournalPath())
            ->CompleteUnended(iId, iStatus, sText, iLinesSent, bLeftInBootloader);
        return {};
    } catch (const std::exception& e) {
        return std::string("warning: the update journal's row ") + std::to_string(iId) +
               " could not be completed: " + e.what();
    }
}
