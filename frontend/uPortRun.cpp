#include "frontend/uPortRun.h"

#include "device/uKelvoCommThread.h"
#include "firmware/uFwFile.h"
#include "frontend/uRunJournal.h"
#include "frontend/uUpdateSession.h"
#include "hexline/uFmt.h"
#include "link/uExceptions1V0.h"

#include <cstdio>
#include <cstdlib>

void TPortRun::Event(const TJson& o, TClock::time_point t) {
    const std::optional<TEvent> event = JsonEvent(o);
    if (!event)
        return; // a later version's event, or none: nothing this run knows to follow
    const std::optional<long long> iValue = JsonInt(o, "value");
    const auto image = [&](const TJson& j) {
        iEntry = JsonInt(j, "entry");
        sImage = JsonStr(j, "description").value_or("");
    };
    switch (*event) {
    case TEvent::Start:
        if (const auto iRow = JsonInt(o, "journal_row"))
            iJournalRow = *iRow;
        ++FiAttempts;
        FbIdentified = false;
        sStage = FiAttempts == 1 ? "starting" : "repeat " + std::to_string(FiAttempts - 1);
        iPercent.reset();
        FRate.Restart();
        FbSelected = false;
        break;
    case TEvent::Class:
    case TEvent::Version:
        sStage = FbSelected ? "checking" : "identifying";
        if (*event == TEvent::Version && iValue && !FiVersion)
            FiVersion = static_cast<std::int32_t>(*iValue);
        if (*event == TEvent::Class && iValue) {
            if (!FiClass)
                FiClass = static_cast<std::int32_t>(*iValue);
            const bool bBootloader = Kelvo::IsBootloaderClass(static_cast<std::uint16_t>(*iValue));
            // A bootloader at the attempt's first identification: the logger was in it already.
            if (!FbIdentified && bBootloader)
                bFoundInBootloader = true;
            FbIdentified = true;
            FbInBootloader = bBootloader;
        }
        break;
    case TEvent::Serial:
        if (iValue)
            iSerial = static_cast<std::uint32_t>(*iValue);
        break;
    case TEvent::Platform:
    case TEvent::Print:
    case TEvent::Info:
    case TEvent::UpdateClass:
    case TEvent::UpdateInfo:
        sStage = "reading the hardware";
        break;
    case TEvent::Candidate:
        sStage = "choosing the image";
        break;
    case TEvent::Selected:
        FbSelected = true;
        image(o);
        sStage = "programming";
        iPercent = 0;
        FRate.Add(t, 0);
        break;
    case TEvent::Progress:
        if (iValue) {
            iPercent = static_cast<int>(*iValue);
            FRate.Add(t, *iPercent);
        }
        if (const auto iLines = JsonInt(o, "lines_sent"))
            iLinesSent = static_cast<std::int32_t>(*iLines);
        break;
    case TEvent::VectorTable:
        if (iValue == 1)
            sStage = "finishing";
        break;
    case TEvent::Repeat:
        sStage = "repeating";
        break;
    case TEvent::Done:
        FbInBootloader = false;
        sStage = "done";
        iPercent = 100;
        break;
    case TEvent::GaveUp:
        sStage = "gave up";
        break;
    case TEvent::Settling:
        // Its text says who holds the port, so that the operator can tell what keeps it.
        if (const std::optional<std::string> sText = JsonStr(o, "text"))
            sStage = *sText;
        break;
    case TEvent::Result: {
        FbResult = true;
        sOutcome = JsonStr(o, "text").value_or("");
        iExit = static_cast<int>(JsonInt(o, "exit").value_or(1));
        const auto logger = o.find("logger");
        if (logger != o.end() && logger->is_object()) {
            if (const auto i = JsonInt(*logger, "serial"))
                iSerial = static_cast<std::uint32_t>(*i);
        }
        if (const auto it = o.find("image"); it != o.end() && it->is_object())
            image(*it);
        if (const std::optional<std::string> sNote = JsonStr(o, "note"))
            aNotes.push_back(*sNote);
        break;
    }
    case TEvent::Note: // the result brings it
    case TEvent::BadLine:
    case TEvent::EchoDiffers:
    case TEvent::Status:
    case TEvent::Reason:
    case TEvent::Notification:
    case TEvent::Summary:
    case TEvent::Plugged:
    case TEvent::Unplugged:
    case TEvent::Waiting:
        break;
    }
}

void TPortRun::Ended(int iExitStatus, bool bCancelled, TClock::time_point t,
                     const std::string& sWhy, const std::string& sHow) {
    bEnded = true;
    dSeconds = std::chrono::duration<double>(t - FtStart).count();
    // The process's own status counts, with its result.
    iExit = iExitStatus >= 0 ? iExitStatus : (bCancelled ? Status::Cancelled : 1);
    // Without a result the child could not be started, said why on standard error (a refusal,
    // exit status 2), or ended before it could tell its result: killed, crashed, or cancelled and
    // killed when it did not end. Never a success.
    if (!FbResult) {
        TRunResult r;
        if (!sWhy.empty()) {
            r.bFatal = true;
            r.sOutcome = sWhy;
        } else if (iExitStatus == 2) {
            r.iStatus = iExitStatus;
            r.sOutcome = "Refused before the port was opened.";
        } else if (iExitStatus < 0) {
            r = UnreportedRunResult(sPort, sHow, bCancelled, FbInBootloader);
        } else {
            r = UnreportedRunResult(sPort,
                                    "it exited with status " + std::to_string(iExitStatus) +
                                        " without its result",
                                    false, FbInBootloader);
            // A status of its own stays; only 0 would claim a success that nobody saw.
            if (iExitStatus > 1) {
                r.bFatal = false;
                r.iStatus = iExitStatus;
            }
        }
        r.iClass = FiClass;
        r.iVersion = FiVersion;
        r.bIdentified = iSerial.has_value();
        r.iSerial = iSerial.value_or(0);
        r.iEntry = iEntry;
        iExit = r.ExitStatus();
        sOutcome = r.sOutcome;
        if (!r.sNote.empty())
            aNotes.push_back(r.sNote);
        unreported = std::move(r);
    }
    bSuccess = iExit == 0;
    if (bSuccess) {
        sStage = "done";
        iPercent = 100;
    } else {
        sStage =
            iExit == Status::Cancelled ? "cancelled" : "failed (" + std::to_string(iExit) + ")";
    }
}

int ExitOfSeveral(const std::vector<TPortRun>& aRuns) {
    for (const TPortRun& run : aRuns) {
        if (run.iExit != 0)
            return run.iExit;
    }
    return 0;
}

std::string CompleteUnreported(const TPortRun& run) {
    if (!run.unreported || !run.iJournalRow)
        return {};
    const TRunResult& r = *run.unreported;
    return CompleteUnendedRun(*run.iJournalRow, r.ExitStatus(), r.sOutcome, run.iLinesSent,
                              r.bLeftInBootloader);
}

TJson SummaryPortJson(const TPortRun& run) {
    // The seconds with one decimal, as a number.
    char aSeconds[32];
    std::snprintf(aSeconds, sizeof aSeconds, "%.1f", run.dSeconds);
    TJson o = TJson::object();
    o["port"] = run.sPort;
    o["update"] = run.iUpdate > 0 ? TJson(run.iUpdate) : TJson();
    o["serial"] = run.iSerial ? TJson(*run.iSerial) : TJson();
    TJson image;
    if (run.iEntry) {
        image["entry"] = *run.iEntry;
        image["description"] = run.sImage;
    }
    o["image"] = image;
    o["exit"] = run.iExit;
    o["success"] = run.iExit == 0;
    o["text"] = run.sOutcome;
    o["seconds"] = std::strtod(aSeconds, nullptr);
    return o;
}

TJson SummaryObject(const std::string& sText, int iExit) {
    TJson o = TJson::object();
    o["time"] = IsoTimeNow();
    o["event"] = EventName(TEvent::Summary);
    o["code"] = nullptr;
    o["value"] = nullptr;
    o["text"] = sText;
    o["exit"] = iExit;
    o["success"] = iExit == 0;
    return o;
}

std::string MinutesSeconds(int iSeconds) {
    return Fmt("%d:%02d", iSeconds / 60, iSeconds % 60);
}
