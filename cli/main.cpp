// kelvo-update: the firmware update of a Kelvo logger from a terminal or a script.
#include "cli/uArgs.h"
#include "cli/uCliOutput.h"
#include "cli/uConsolePlatform.h"
#include "cli/uHistory.h"
#include "cli/uSeveralPorts.h"
#include "cli/uSinglePort.h"
#include "cli/uStation.h"
#include "cmdline/uMainGuard.h"
#include "device/uKelvoCommThread.h"
#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "firmware/uFwFile.h"
#include "frontend/uNotifyTexts.h"
#include "frontend/uPortList.h"
#include "frontend/uStartupOptions.h"
#include "frontend/uStationEngine.h"
#include "hexline/uSha256.h"
#include "hexline/uShownText.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The firmware file's bytes as the program that started this one read them, from standard input,
// checked against their SHA-256.
std::string HandedFileContent(const std::string& sSha256) {
    const std::optional<std::string> sContent = ReadStandardInput(MaxFwFileSize);
    if (!sContent)
        throw std::runtime_error(
            "its bytes could not be read from the program that started this one");
    if (const std::string s = Sha256Hex(*sContent); s != sSha256)
        throw std::runtime_error("its bytes arrived changed (SHA-256 " + s + ", not " + sSha256 +
                                 ")");
    return *sContent;
}

// Several ports: a child process per port.
int RunSeveralPorts(const TArgs& args, const std::vector<std::string>& aPorts,
                    const std::string& sFileContent, const std::string& sFileSha256) {
    TSeveralSettings settings;
    settings.aPorts = aPorts;
    settings.bJson = args.bJson;
    settings.bQuiet = args.bQuiet;
    settings.aChildArgs = ChildArgs(args, sFileContent, sFileSha256, &settings.sChildInput);
    InstallSignalHandlers(OnInterrupt);
    return RunSeveral(settings);
}

// The workshop station: a child process per logger as it is plugged in.
int RunStationMode(const TArgs& args, const std::string& sFileContent,
                   const std::string& sFileSha256) {
    TStationSettings settings;
    settings.rules.bOnlyNew = args.bOnlyNew;
    if (args.iMaxParallel)
        settings.rules.iMaxParallel = *args.iMaxParallel;
    settings.rules.iCount = args.iCount;
    settings.bJson = args.bJson;
    settings.bQuiet = args.bQuiet;
    settings.aChildArgs = ChildArgs(args, sFileContent, sFileSha256, &settings.sChildInput);
    InstallSignalHandlers(OnStationSignal);
    return RunStation(settings);
}

// The whole program, a child for one port of several included.
int RunProgram(int argc, char** argv) {
    if (!EnsureStandardStreams())
        return ExitFatal;
    CommThreadClass = CommThreadClassOf<TKelvoCommThread>();
    const TArgs args = ParseArgs(argc, argv);
    // A child cancels its update as Ctrl+C would when the program that started it is gone.
    std::optional<TParentWatch> parentWatch;
    if (args.bChild) {
        InstallSignalHandlers(OnInterrupt);
        if (args.iParentPid)
            parentWatch.emplace(*args.iParentPid, OnInterrupt);
    }

    const bool bInternal = IsInternalMode();
    // A child's warnings were given by the program that started it.
    for (const std::string& s : StartupOptionWarnings(args.aKeyValues, bInternal)) {
        if (!args.bChild)
            Console.Err("kelvo-update: warning: " + EscapeControlChars(s));
    }
    ReadStartupOptions(args.aKeyValues, bInternal);

    if (args.sFile && iFileMode != 2)
        UsageError("--file needs the internal mode with the option f:+");
    if (args.bReadInfoOnly && !(bInternal && bReadInfoSupported))
        UsageError("--read-info-only needs the internal mode");

    std::string sFileContent;
    if (args.sFile) {
        std::string sError;
        try {
            sFileContent = args.sFileSha256 ? HandedFileContent(*args.sFileSha256)
                                            : ReadFwFileContent(*args.sFile);
        } catch (const std::exception& e) {
            sError = e.what();
        }
        if (!sError.empty() || !LoadFwFileContent(*args.sFile, sFileContent, &sError))
            Refuse("cannot use the firmware file '" + *args.sFile + "': " + sError);
    }
    // A child's handed bytes were checked against the digest it was given.
    const std::string sFileSha256 = !args.sFile        ? std::string()
                                    : args.sFileSha256 ? *args.sFileSha256
                                                       : Sha256Hex(sFileContent);

    if (args.bHistory)
        return PrintHistory(args.history, args.bJson  ? THistoryForm::Json
                                          : args.bCsv ? THistoryForm::Csv
                                                      : THistoryForm::Table);

    if (args.bListPorts || args.bListFirmware) {
        int iExit = 0;
        if (args.bListPorts) {
            const std::vector<TPortDetails> aPorts = ListPortDetails(PortDeviceDir());
            if (aPorts.empty()) {
                Console.Err("kelvo-update: no serial port of a USB serial device is present");
                iExit = ExitUsage;
            }
            PrintPortList(aPorts, args.bJson);
        }
        if (args.bListFirmware)
            PrintFirmwareList(args.sFile, args.bJson);
        return iExit;
    }

    const std::vector<std::string> aPorts =
        args.bWatch ? std::vector<std::string>() : ResolvePorts(args);

    // The question that the "Update" button asks.
    const char* sQuestion = StartQuestion();
    if (sQuestion && !args.bYes) {
        if (!IsTerminal(stdin))
            Refuse("the update asks a question and there is no terminal to answer it; give --yes "
                   "to answer it with yes");
        if (!AskOnTerminal(sQuestion))
            Refuse("not confirmed, nothing done");
    }

    if (args.bWatch)
        return RunStationMode(args, sFileContent, sFileSha256);
    if (aPorts.size() > 1)
        return RunSeveralPorts(args, aPorts, sFileContent, sFileSha256);
    return RunSinglePort(args, aPorts.front(), sFileSha256);
}

} // namespace

int main(int argc, char** argv) {
    return GuardMain(
        "kelvo-update", [&] { return RunProgram(argc, argv); },
        [](const std::string& sLine) { Console.Err(sLine); });
}
