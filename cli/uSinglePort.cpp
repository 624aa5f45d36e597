#include "cli/uSinglePort.h"

#include "cli/uCliOutput.h"
#include "cli/uConsolePlatform.h"
#include "cli/uTerminal.h"
#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "frontend/uJsonLines.h"
#include "frontend/uUpdateSession.h"
#include "hexline/uShownText.h"
#include "link/uPortTrace.h"
#include "link/uRS232.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <system_error>

namespace {

// The trace's file: standard error, or a file of its own that the program owns.
struct TTraceFile {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> hFile{nullptr, std::fclose};
    std::FILE* pFile = nullptr;
};

} // namespace

void OnInterrupt(int) {
    bInterrupted = true;
    bCancel = true;
}

int RunSinglePort(const TArgs& args, const std::string& sPort, const std::string& sFileSha256) {
    TTraceFile trace;
    if (args.sTrace) {
        trace.pFile = stderr;
        if (*args.sTrace != "-") {
            // A child adds its lines to the file that the program with all ports began.
            trace.hFile.reset(std::fopen(args.sTrace->c_str(), args.bChild ? "a" : "w"));
            if (!trace.hFile)
                Refuse("cannot write the trace file '" + *args.sTrace +
                       "': " + std::error_code(errno, std::generic_category()).message());
            trace.pFile = trace.hFile.get();
        }
    }
    std::optional<TPortTrace> portTrace;
    if (trace.pFile != nullptr)
        portTrace.emplace(trace.pFile);

    iFwIndex = args.sFile ? 0 : -1;
    bReadInfoOnly = args.bReadInfoOnly;
    InstallSignalHandlers(OnInterrupt);

    const bool bBar = !args.bJson && !args.bQuiet && IsTerminal(stderr);
    // On the terminal that shows the bar, "Progress N%" lines would only repeat it.
    const bool bProgressLines = !(bBar && IsTerminal(stdout));
    TProgressBar bar;
    TJsonRun json(sPort, args.bChild, args.iUpdateId.value_or(1),
                  [](const std::string& sLine) { Console.Out(sLine); });
    // A trace that can no longer be written is given up with one warning; the update goes on.
    const auto warnOfTrace = [&] {
        if (!portTrace)
            return;
        if (const std::string sError = portTrace->TakeWriteError(); !sError.empty()) {
            bar.Clear();
            Console.Err("kelvo-update: warning: cannot write the trace file '" +
                        EscapeControlChars(*args.sTrace) + "' any more: " + sError +
                        "; the update goes on without it");
            bar.Redraw();
        }
    };
    TSessionSettings settings;
    settings.sPort = sPort;
    settings.iMaxRepeats = args.iMaxRepeats;
    if (args.bPortArrived)
        settings.settle = PortSettleTime;
    settings.journal =
        TRunJournal::TStart{args.bGuiStation ? "kelvo-firmware-update" : "kelvo-update", sPort,
                            args.sFile.value_or(""), sFileSha256};
    if (portTrace)
        settings.openPort = portTrace->Wrap(OpenComPort);
    settings.iLabelSerial = args.iLabelSerial.value_or(0);
    // Whether the logger in its bootloader is the one an interrupted update left on this port
    // name: asked on the terminal; with --yes (a child's too) or without a terminal, the answer
    // is no one's, and that update's serial number is not taken.
    const bool bAskPin = !args.bYes && IsTerminal(stdin);
    if (bAskPin) {
        settings.askPin = [&](const TPinQuestion& q) {
            bar.Clear();
            const bool bYes = AskOnTerminal(q.sText);
            bar.Redraw();
            return bYes;
        };
    }
    // A child's diagnostics go out among those of the other ports: they name theirs.
    const std::string sDiagnosticPrefix =
        "kelvo-update: " + (args.bChild ? EscapeControlChars(sPort) + ": " : std::string());
    // A port that does not exist: where to find the ones that do.
    const auto diagnostic = [](const TStep& step) {
        return EscapeControlChars(step.sText) +
               (step.bNoSuchPort ? " ('kelvo-update --list-ports' lists the serial ports)" : "");
    };
    const TUpdateSession* pSession = nullptr; // for its journal row, known once it runs
    TUpdateSession session(settings, [&](const TStep& step) {
        warnOfTrace();
        if (step.iCode == Notify::PinNotTaken && !args.bYes && !bAskPin) {
            bar.Clear();
            Console.Err(sDiagnosticPrefix +
                        "no terminal to ask whether the logger is the one that the interrupted "
                        "update left in its bootloader: its serial number is not taken (give the "
                        "one from the logger's label with --serial)");
            bar.Redraw();
        }
        const bool bDiagnostic = step.action == TAction::Diagnostic;
        if (args.bJson) {
            json.JournalRow(pSession->JournalRow());
            json.Step(step);
            if (bDiagnostic)
                Console.Err(sDiagnosticPrefix + diagnostic(step));
            return;
        }
        if (bDiagnostic) {
            bar.Clear();
            Console.Err("kelvo-update: " + diagnostic(step));
            bar.Redraw();
        }
        if (args.bQuiet)
            return;
        if (step.action == TAction::BeginUpdate) {
            bar.Restart();
        } else if (step.action == TAction::Report) {
            if (step.iCode == Notify::Progress && !bProgressLines)
                return;
            bar.Clear();
            Console.Out(ReportLine(EscapeControlChars(step.sText)));
            bar.Redraw();
        } else if (step.action == TAction::Progress && bBar) {
            bar.Show(step.iValue);
        }
    });
    pSession = &session;
    const TRunResult result = session.Run();
    warnOfTrace();
    bar.Clear();

    // The outcome without the reason that went to standard error.
    if (args.bJson)
        json.Result(result);
    else
        Console.Out(EscapeControlChars(result.sOutcome));
    return result.ExitStatus();
}
