#include "cli/uSeveralPorts.h"

#include "cli/uChildProcess.h"
#include "cli/uConsolePlatform.h"
#include "device/uKelvoCommThread.h"
#include "firmware/uFwFile.h"
#include "frontend/uUpdateRunner.h"
#include "link/uExceptions1V0.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;

std::string MinutesSeconds(int iSeconds) {
    char b[32];
    std::snprintf(b, sizeof b, "%d:%02d", iSeconds / 60, iSeconds % 60);
    return b;
}

std::string Padded(std::string s, std::size_t iWidth) {
    if (s.size() < iWidth)
        s.append(iWidth - s.size(), ' ');
    return s;
}

// The serial number's column: as wide as the largest 32-bit number.
constexpr std::size_t SerialWidth = 10;
constexpr std::size_t StageWidth = 20;

// A line of a child: standard output or error, or the end of one of them.
struct TChildLine {
    std::size_t iPort;
    TChildProcess::TStream stream;
    bool bEnd;
    std::string sLine;
};

// The lines of all children for the main thread, in the order they came.
class TLineQueue {
public:
    void Push(TChildLine line) {
        {
            const std::lock_guard lock(FMutex);
            Fa.push_back(std::move(line));
        }
        FReady.notify_one();
    }
    // Everything that has come, waiting up to t for something.
    std::deque<TChildLine> Take(std::chrono::milliseconds t) {
        std::unique_lock lock(FMutex);
        FReady.wait_for(lock, t, [&] { return !Fa.empty(); });
        std::deque<TChildLine> a;
        a.swap(Fa);
        return a;
    }

private:
    std::mutex FMutex;
    std::condition_variable FReady;
    std::deque<TChildLine> Fa;
};

// Reads one stream of a child to its end, line by line.
void ReadLines(TChildProcess& process, TChildProcess::TStream stream, std::size_t iPort,
               TLineQueue& queue) {
    std::string sPending;
    char a[4096];
    for (std::size_t n; (n = process.Read(stream, a, sizeof a)) > 0;) {
        sPending.append(a, n);
        for (std::size_t i; (i = sPending.find('\n')) != std::string::npos;) {
            std::string sLine = sPending.substr(0, i);
            sPending.erase(0, i + 1);
            if (!sLine.empty() && sLine.back() == '\r')
                sLine.pop_back();
            queue.Push({iPort, stream, false, std::move(sLine)});
        }
    }
    if (!sPending.empty())
        queue.Push({iPort, stream, false, std::move(sPending)});
    queue.Push({iPort, stream, true, {}});
}

// A child with the threads that read its two streams; they end when the child does.
struct TChild {
    std::unique_ptr<TChildProcess> process;
    std::thread out;
    std::thread err;
    int iStreamsEnded = 0;

    // The input is written once both streams are read: a child that writes before it reads
    // cannot block on a full pipe.
    void Start(const std::vector<std::string>& aArgs, const std::string& sInput, std::size_t iPort,
               TLineQueue& queue) {
        process = std::make_unique<TChildProcess>(aArgs);
        out = std::thread(ReadLines, std::ref(*process), TChildProcess::TStream::Out, iPort,
                          std::ref(queue));
        try {
            err = std::thread(ReadLines, std::ref(*process), TChildProcess::TStream::Err, iPort,
                              std::ref(queue));
        } catch (...) {
            // The thread that reads its output ends with the process.
            process->Cancel();
            out.join();
            throw;
        }
        process->WriteInput(sInput);
    }
    // A child left running when the run ends early (an exception) is cancelled and awaited.
    ~TChild() {
        if (process && (out.joinable() || err.joinable()))
            process->Cancel();
        if (out.joinable())
            out.join();
        if (err.joinable())
            err.join();
    }
    bool Running() const { return process && iStreamsEnded < 2; }
    // Both streams have ended: the threads are joined and the process waited for.
    int End() {
        out.join();
        err.join();
        return process->Wait();
    }
};

} // namespace

void TPortRun::Event(const TJson& o, TClock::time_point t) {
    const std::string sEvent = o.Str("event").value_or("");
    const std::optional<long long> iValue = o.Int("value");
    if (sEvent == "start") {
        ++FiAttempts;
        sStage = FiAttempts == 1 ? "starting" : "repeat " + std::to_string(FiAttempts - 1);
        iPercent.reset();
        FRate.Restart();
        FbSelected = false;
    } else if (sEvent == "class" || sEvent == "version") {
        sStage = FbSelected ? "checking" : "identifying";
        if (sEvent == "class" && iValue)
            FbInBootloader = Kelvo::IsBootloaderClass(static_cast<std::uint16_t>(*iValue));
    } else if (sEvent == "serial") {
        if (iValue)
            iSerial = static_cast<std::uint32_t>(*iValue);
    } else if (sEvent == "platform" || sEvent == "print" || sEvent == "info" ||
               sEvent == "update-class" || sEvent == "update-info") {
        sStage = "reading the hardware";
    } else if (sEvent == "candidate") {
        sStage = "choosing the image";
    } else if (sEvent == "selected") {
        FbSelected = true;
        iEntry = o.Int("entry");
        sImage = o.Str("description").value_or("");
        sStage = "programming";
        iPercent = 0;
        FRate.Add(t, 0);
    } else if (sEvent == "progress") {
        if (iValue) {
            iPercent = static_cast<int>(*iValue);
            FRate.Add(t, *iPercent);
        }
    } else if (sEvent == "vector-table") {
        if (iValue == 1)
            sStage = "finishing";
    } else if (sEvent == "repeat") {
        sStage = "repeating";
    } else if (sEvent == "done") {
        FbInBootloader = false;
        sStage = "done";
        iPercent = 100;
    } else if (sEvent == "gave-up") {
        sStage = "gave up";
    } else if (sEvent == "note") {
        aNotes.push_back(o.Str("text").value_or(""));
    } else if (sEvent == "result") {
        FbResult = true;
        sOutcome = o.Str("text").value_or("");
        iExit = static_cast<int>(o.Int("exit").value_or(1));
        if (const TJson* pLogger = o.Find("logger"); pLogger != nullptr) {
            if (const auto i = pLogger->Int("serial"))
                iSerial = static_cast<std::uint32_t>(*i);
        }
        if (const TJson* pImage = o.Find("image"); pImage != nullptr && !pImage->IsNull()) {
            iEntry = pImage->Int("entry");
            sImage = pImage->Str("description").value_or("");
        }
    }
}

void TPortRun::Ended(int iExitStatus, bool bCancelled, TClock::time_point t,
                     const std::string& sWhy, const std::string& sHow) {
    bEnded = true;
    dSeconds = std::chrono::duration<double>(t - FtStart).count();
    // The process's own status counts; one that did not exit by itself was cancelled when it
    // was asked to be, and failed otherwise.
    iExit = iExitStatus >= 0 ? iExitStatus : (bCancelled ? Status::Cancelled : 1);
    bSuccess = iExit == 0 && FbResult;
    // Without a result the child said why on standard error (a refusal, exit status 2), or it
    // was ended from outside before it could say anything.
    if (!FbResult) {
        if (!sWhy.empty())
            sOutcome = sWhy;
        else if (iExitStatus == 2)
            sOutcome = "Refused before the port was opened.";
        else if (iExitStatus < 0 && bCancelled)
            sOutcome = StatusText(Status::Cancelled, sPort);
        else
            sOutcome = "Its process ended without a result: " +
                       (!sHow.empty() ? sHow : "exit status " + std::to_string(iExitStatus)) + ".";
        if (iExit == 0)
            iExit = 1; // no result is no success
        if (FbInBootloader && sWhy.empty())
            aNotes.push_back(Texts::LoggerWaitsInBootloader);
    }
    if (bSuccess) {
        sStage = "done";
        iPercent = 100;
    } else {
        sStage =
            iExit == Status::Cancelled ? "cancelled" : "failed (" + std::to_string(iExit) + ")";
    }
}

std::string TPortRun::LiveLine(std::size_t iPortWidth) const {
    std::string s = Padded(EscapeControlChars(sPort), iPortWidth) + "  " +
                    Padded(iSerial ? std::to_string(*iSerial) : "-", SerialWidth) + "  ";
    if (!iPercent)
        return s + sStage;
    s += Padded(sStage, StageWidth);
    char b[16];
    std::snprintf(b, sizeof b, "%3d%%", *iPercent);
    s += b;
    if (!bEnded && *iPercent < 100) {
        const std::optional<int> iLeft = FRate.SecondsLeft();
        s += "  " + (iLeft ? MinutesSeconds(*iLeft) : std::string("--:--")) + " left";
    }
    return s;
}

int ExitOfSeveral(const std::vector<TPortRun>& aRuns) {
    for (const TPortRun& run : aRuns) {
        if (run.iExit != 0)
            return run.iExit;
    }
    return 0;
}

namespace {

// The last line of the summary: all updated, or which were not.
std::string SummaryText(const std::vector<TPortRun>& aRuns) {
    std::string sFailed;
    std::size_t iUpdated = 0;
    for (const TPortRun& run : aRuns) {
        if (run.iExit == 0) {
            ++iUpdated;
            continue;
        }
        sFailed += (sFailed.empty() ? "" : ", ") + EscapeControlChars(run.sPort) +
                   " (exit status " + std::to_string(run.iExit) + ")";
    }
    if (sFailed.empty())
        return "All " + std::to_string(aRuns.size()) + " loggers were updated.";
    return "Not updated: " + sFailed + "; " + std::to_string(iUpdated) + " of " +
           std::to_string(aRuns.size()) + " loggers were updated.";
}

} // namespace

std::vector<std::string> SummaryLines(const std::vector<TPortRun>& aRuns) {
    std::vector<std::vector<std::string>> aRows{{"Port", "Serial", "Image", "Exit", "Time"}};
    std::vector<std::string> aOutcomes{"Outcome"};
    for (const TPortRun& run : aRuns) {
        aRows.push_back({EscapeControlChars(run.sPort),
                         run.iSerial ? std::to_string(*run.iSerial) : "-",
                         run.sImage.empty() ? "-" : run.sImage, std::to_string(run.iExit),
                         MinutesSeconds(static_cast<int>(run.dSeconds + 0.5))});
        aOutcomes.push_back(run.sOutcome);
    }
    std::vector<std::size_t> aWidths(aRows.front().size(), 0);
    for (const auto& row : aRows) {
        for (std::size_t i = 0; i < row.size(); ++i)
            aWidths[i] = std::max(aWidths[i], row[i].size());
    }
    std::vector<std::string> aLines;
    for (std::size_t r = 0; r < aRows.size(); ++r) {
        std::string s;
        for (std::size_t i = 0; i < aRows[r].size(); ++i)
            s += Padded(aRows[r][i], aWidths[i]) + "  ";
        aLines.push_back(s + aOutcomes[r]);
    }
    aLines.push_back(SummaryText(aRuns));
    for (const TPortRun& run : aRuns) {
        for (const std::string& sNote : run.aNotes)
            aLines.push_back(EscapeControlChars(run.sPort) + ": " + sNote);
    }
    return aLines;
}

std::string SummaryJson(const std::vector<TPortRun>& aRuns) {
    std::string sPorts;
    for (const TPortRun& run : aRuns) {
        char aSeconds[32];
        std::snprintf(aSeconds, sizeof aSeconds, "%.1f", run.dSeconds);
        TJsonObject o;
        o.Str("port", run.sPort)
            .Raw("serial", run.iSerial ? std::to_string(*run.iSerial) : "null")
            .Raw("image",
                 run.iEntry
                     ? TJsonObject().Int("entry", *run.iEntry).Str("description", run.sImage).Text()
                     : "null")
            .Int("exit", run.iExit)
            .Bool("success", run.iExit == 0)
            .Str("text", run.sOutcome)
            .Raw("seconds", aSeconds);
        sPorts += (sPorts.empty() ? "" : ",") + o.Text();
    }
    const int iExit = ExitOfSeveral(aRuns);
    return TJsonObject()
        .Str("time", IsoTimeNow())
        .Str("event", "summary")
        .Raw("code", "null")
        .Raw("value", "null")
        .Str("text", SummaryText(aRuns))
        .Int("exit", iExit)
        .Bool("success", iExit == 0)
        .Raw("ports", "[" + sPorts + "]")
        .Text();
}

void TLiveLines::Show(const std::vector<std::string>& aLines) {
    FaLines = aLines;
    Draw();
}

void TLiveLines::Draw() {
    const int iColumns = StatusColumns();
    // Up to the first line of the block, then every line anew; a line never reaches the last
    // column, where some terminals would wrap it and the block would no longer be where it was.
    std::string s = FiShown > 0 ? "\x1b[" + std::to_string(FiShown) + "A\r" : "\r";
    for (const std::string& sLine : FaLines)
        s += sLine.substr(0, static_cast<std::size_t>(iColumns - 1)) + "\x1b[K\n";
    if (FaLines.size() < FiShown)
        s += "\x1b[J";
    Console.ErrInPlace(s);
    FiShown = FaLines.size();
}

void TLiveLines::Clear() {
    if (FiShown > 0)
        Console.ErrInPlace("\x1b[" + std::to_string(FiShown) + "A\r\x1b[J");
    FiShown = 0;
}

void TLiveLines::Redraw() {
    if (!FaLines.empty())
        Draw();
}

int RunSeveral(const TSeveralSettings& settings) {
    const bool bLive =
        !settings.bJson && !settings.bQuiet && IsTerminal(stderr) && EnableCursorControl(stderr);
    // On the terminal that shows the live lines, the report would only repeat them.
    const bool bReport = !settings.bJson && !settings.bQuiet && !(bLive && IsTerminal(stdout));

    TLineQueue queue;
    std::vector<TPortRun> aRuns;
    // The threads of a child read into the queue: the children end before it does.
    std::vector<TChild> aChildren(settings.aPorts.size());
    std::size_t iPortWidth = 0;
    for (const std::string& sPort : settings.aPorts)
        iPortWidth = std::max(iPortWidth, EscapeControlChars(sPort).size());

    TLiveLines live;
    const auto diagnostic = [&](const std::string& s) {
        live.Clear();
        Console.Err(s);
        live.Redraw();
    };
    std::size_t iRunning = 0;
    for (std::size_t i = 0; i < settings.aPorts.size(); ++i) {
        const std::string& sPort = settings.aPorts[i];
        aRuns.emplace_back(sPort, TClock::now());
        std::vector<std::string> aArgs = settings.aChildArgs;
        aArgs.insert(aArgs.end(), {"--port", sPort});
        try {
            aChildren[i].Start(aArgs, settings.sChildInput, i, queue);
            ++iRunning;
        } catch (const std::exception& e) {
            diagnostic("kelvo-update: " + EscapeControlChars(sPort) + ": " + e.what());
            aRuns.back().Ended(1, false, TClock::now(), e.what());
        }
    }

    const auto liveLines = [&] {
        std::vector<std::string> a;
        for (const TPortRun& run : aRuns)
            a.push_back(run.LiveLine(iPortWidth));
        return a;
    };
    // The live lines are redrawn at most ten times a second.
    constexpr auto DrawInterval = std::chrono::milliseconds(100);
    auto tDrawn = TClock::now() - DrawInterval;
    bool bDirty = true;
    bool bCancelSent = false;
    while (iRunning > 0) {
        std::deque<TChildLine> aLines = queue.Take(DrawInterval);
        if (bInterrupted && !bCancelSent) {
            bCancelSent = true;
            for (TChild& child : aChildren) {
                if (child.Running())
                    child.process->Cancel();
            }
        }
        const auto tNow = TClock::now();
        for (TChildLine& line : aLines) {
            TPortRun& run = aRuns[line.iPort];
            TChild& child = aChildren[line.iPort];
            if (line.bEnd) {
                if (++child.iStreamsEnded == 2) {
                    const int iExitStatus = child.End();
                    const std::string sHow = child.process->EndedHow();
                    if (!sHow.empty() && !bCancelSent)
                        diagnostic("kelvo-update: " + EscapeControlChars(run.sPort) +
                                   ": its process was " + sHow);
                    run.Ended(iExitStatus, bCancelSent, tNow, {}, sHow);
                    --iRunning;
                    bDirty = true;
                }
                continue;
            }
            // The child's diagnostics name the port already.
            if (line.stream == TChildProcess::TStream::Err) {
                diagnostic(line.sLine);
                continue;
            }
            if (settings.bJson)
                Console.Out(line.sLine);
            const std::optional<TJson> o = ParseJson(line.sLine);
            if (!o || o->kind != TJson::TKind::Object) {
                if (!settings.bJson)
                    diagnostic("kelvo-update: " + EscapeControlChars(run.sPort) + ": " +
                               EscapeControlChars(line.sLine));
                continue;
            }
            run.Event(*o, tNow);
            bDirty = true;
            const std::string sEvent = o->Str("event").value_or("");
            if (!bReport || sEvent == "reason" || sEvent == "serial")
                continue;
            const std::string sText = PlainLines(o->Str("text").value_or(""));
            live.Clear();
            Console.Out(EscapeControlChars(run.sPort) + ": " +
                        (sEvent == "result" ? sText : ReportLine(sText)));
            live.Redraw();
        }
        if (bLive && bDirty && (iRunning == 0 || tNow - tDrawn >= DrawInterval)) {
            live.Show(liveLines());
            tDrawn = tNow;
            bDirty = false;
        }
    }

    if (settings.bJson) {
        Console.Out(SummaryJson(aRuns));
    } else {
        for (const std::string& s : SummaryLines(aRuns))
            Console.Out(s);
    }
    return ExitOfSeveral(aRuns);
}
