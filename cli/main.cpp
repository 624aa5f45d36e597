// kelvo-update: the firmware update of a Kelvo logger from a terminal or a script.
#include "cli/uCliOutput.h"
#include "cli/uConsolePlatform.h"
#include "cli/uHistory.h"
#include "cli/uJsonLines.h"
#include "cli/uSeveralPorts.h"
#include "cli/uStation.h"
#include "cli/uTerminal.h"
#include "cmdline/uCmdLine.h"
#include "cmdline/uMainGuard.h"
#include "device/uKelvoCommThread.h"
#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "firmware/uFwFile.h"
#include "frontend/uNotifyTexts.h"
#include "frontend/uPortList.h"
#include "frontend/uStartupOptions.h"
#include "frontend/uUpdateSession.h"
#include "hexline/uSha256.h"
#include "journal/uJournal.h"
#include "link/uPortTrace.h"
#include "link/uRS232.h"
#include "uCliDocument.h"
#include "uVersionInfo.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int ExitUsage = 2;
constexpr int ExitFatal = 1;

constexpr const char* Usage =
    R"(Usage: kelvo-update [--port NAME ...] [options] [key:value ...]
       kelvo-update --all-ports [options] [key:value ...]
       kelvo-update --watch [--only-new] [--max-parallel N] [--count N] [options]
                    [key:value ...]
       kelvo-update --history [--json | --csv] [--limit N] [--serial N] [--port NAME]
                    [--since DATE]
Updates the firmware of a Kelvo logger on the serial port NAME (COM3 on Windows, a device path
such as /dev/ttyUSB0 elsewhere), or of several loggers at once, one on each port.

Options:
  -p, --port NAME, --port=NAME
                      the serial port of the logger (default: the environment variable
                      KELVO_PORT); "auto": the only port that the GUI's port list offers; give
                      it several times to update several loggers at once; a name beginning
                      with "-" only as --port=NAME
      --all-ports     update a logger on every port that the GUI's port list offers
      --watch         a workshop station: watch the ports that --all-ports would take and
                      update the logger on each as it is plugged in, once per connection,
                      until Ctrl+C (then the running updates finish; twice: they are
                      cancelled)
      --only-new      with --watch: leave the loggers plugged in at start alone until they are
                      plugged in again
      --max-parallel N  with --watch: at most N updates at once, the others wait (32)
      --count N       with --watch: end after N updates
  -y, --yes           answer the question before the update with yes
      --file FILE     use this firmware file instead of the built-in images (internal mode, f:+)
      --read-info-only  stop once the logger's information is read (internal mode)
      --max-repeats N repeat at most N times after a communication or programming error (3)
      --json          JSON Lines instead of the report, also for the lists
  -q, --quiet         print only the outcome
      --trace FILE    write every frame and line with millisecond times to FILE (-: stderr)
      --list-ports    print the serial ports of USB serial devices with their details; on
                      Windows every registered serial port, marked when the GUI's port list
                      offers it (any of them can be given to --port)
      --list-firmware print the built-in firmware images (and the file given with --file)
      --history       print the latest runs of the update journal, newest first (with --json
                      as JSON Lines, with --csv as CSV); --limit N runs (20), only those of
                      --serial N, of --port NAME (a port or converter name), --since DATE
                      (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS, UTC)
      --csv           with --history: CSV for a spreadsheet
      --limit N       with --history: at most N runs
      --serial N      with --history: the runs of the logger with this serial number
      --since DATE    with --history: the runs since DATE (UTC)
  -V, --version       print the version
  -h, --help          print this text
  key:value           start-up options: mf:+ (the update clears the measurements); in the
                      internal mode also cc:-, cf:-, cp:- (relax checks) and f:+ (firmware files)

Environment:
  KELVO_PORT          the port when --port is not given (empty: not set)
  KELVO_DEV_DIR       the folder where --list-ports, --all-ports and --port auto look for port
                      devices (default /dev)
  XDG_CONFIG_HOME     Linux: where the internal-mode store Orlenta/Quarn.conf is (default
                      ~/.config; on Windows the registry holds it)
  KELVO_JOURNAL       the update journal's file (default: Linux
                      $XDG_STATE_HOME/kelvo/journal.sqlite3, XDG_STATE_HOME ~/.local/state;
                      Windows %LOCALAPPDATA%\kelvo\journal.sqlite3)
  XDG_STATE_HOME      Linux: where the update journal is (see KELVO_JOURNAL)

Every update is recorded in the update journal: the logger, its hardware, the image, the outcome.
A logger found in its bootloader on a converter where an interrupted run left it is selected for
with the serial number that run read. A journal that cannot be written gives a warning; the
update goes on.

The report and the outcome go to standard output; usage errors, refusals, warnings and reasons to
standard error. On a terminal a progress bar on standard error takes the place of the
"Progress N%" lines. A closed pipe or terminal does not stop a running update; Ctrl+C and SIGTERM
cancel it.

With several ports the loggers are updated at the same time, each by a process of its own, and
the question before the update is asked once for all. On a terminal each port has a line of its
own (port, serial number, stage, percentage, time left); otherwise the report lines begin with
the port, and --json objects carry it. A summary table ends the run. The exit status is 0 when
every logger was updated, otherwise that of the first port in the order given that failed.

With --watch the station shows a line per port on a terminal (waiting, the update's stage, done
or failed) and rings the bell when an update ends; otherwise a line per event, beginning with the
port, or --json objects with the port. The summary lists every update since the start; the exit
status is 0 when each succeeded, otherwise that of the first that failed.

Exit status:
  0   success (also for a list, the version and this text)
  10  the port is not ready
  11  an error reading or writing the port
  20  cancelled
  30  no answer, after the repeats
  40  no update for this logger
  41  the logger is not ready
  42  the image's last line is wrong
  43  a conversion error
  44  a programming error, after the repeats
  45  the update was not successful
  46  an invalid answer from the logger
  47  no fitting image
  70  only the update information was read (--read-info-only)
  1   a fatal exception (--history: the journal cannot be read)
  2   a usage error, or a refusal before a port was opened (also: no port for --list-ports
      or --port auto))";

struct TArgs {
    std::vector<std::string> aPorts; // in the order given
    bool bAllPorts = false;
    // --watch: a station, with its rules.
    bool bWatch = false;
    bool bOnlyNew = false;
    std::optional<std::size_t> iMaxParallel;
    std::optional<std::size_t> iCount;
    // Hidden: one port of several, started by the kelvo-update that runs them all (JSON Lines
    // with the port in every object, diagnostics that name the port, the trace file appended
    // to).
    bool bChild = false;
    // Hidden, with --child: the process that started this one, which it watches; the SHA-256 of
    // the firmware file's bytes, which come on standard input instead of from the file.
    std::optional<long long> iParentPid;
    std::optional<std::string> sFileSha256;
    std::optional<std::string> sFile;
    std::optional<std::string> sTrace;
    bool bReadInfoOnly = false;
    bool bYes = false;
    bool bJson = false;
    bool bQuiet = false;
    bool bListPorts = false;
    bool bListFirmware = false;
    // --history and its filters (--port names the port to look for then).
    bool bHistory = false;
    bool bCsv = false;
    THistoryFilter history;
    int iMaxRepeats = 3;
    std::vector<std::string> aKeyValues;
};

// Every text for a person that holds what the user gave or the system told (a port name, a file
// name, a file's text, a process name) goes to the terminal through EscapeControlChars.

[[noreturn]] void UsageError(const std::string& s) {
    Console.Err("kelvo-update: " + EscapeControlChars(s) + "\nTry 'kelvo-update --help'.");
    std::exit(ExitUsage);
}

// A refusal before any port is opened; aNames, if any, each on a line of its own below it.
[[noreturn]] void Refuse(const std::string& s, const std::vector<std::string>& aNames = {}) {
    std::string sText = "kelvo-update: " + EscapeControlChars(s);
    for (const std::string& sName : aNames)
        sText += "\n  " + EscapeControlChars(sName);
    Console.Err(sText);
    std::exit(ExitUsage);
}

// A number of 1 to iMax given with an option.
std::size_t Count(const char* sOption, const std::string& s, std::size_t iMax) {
    if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(s) < 1 || std::stoul(s) > iMax)
        UsageError(std::string(sOption) + ": '" + s + "' is not a valid number (1 to " +
                   std::to_string(iMax) + ")");
    return std::stoul(s);
}

// The handlers of the options' table: a flag set, a text kept.
template <bool TArgs::*pFlag> void SetFlag(TArgs& a, const std::string&) {
    a.*pFlag = true;
}

template <std::optional<std::string> TArgs::*pText> void SetText(TArgs& a, const std::string& s) {
    a.*pText = s;
}

// An option and what it does to the arguments, in command-line order; a value it cannot take is
// a usage error, and --version and --help end the program once they are reached.
struct TCliOption {
    TOptionDef def;
    void (*apply)(TArgs& a, const std::string& sValue);
};

constexpr TCliOption aOptions[] = {
    {{"port", 'p', true},
     [](TArgs& a, const std::string& s) {
         if (s.empty())
             UsageError("--port needs a port name");
         a.aPorts.push_back(s);
     }},
    {{"yes", 'y', false}, SetFlag<&TArgs::bYes>},
    {{"file", 0, true}, SetText<&TArgs::sFile>},
    {{"read-info-only", 0, false}, SetFlag<&TArgs::bReadInfoOnly>},
    {{"max-repeats", 0, true},
     [](TArgs& a, const std::string& s) {
         if (s.empty() || s.size() > 4 || s.find_first_not_of("0123456789") != std::string::npos)
             UsageError("--max-repeats: '" + s + "' is not a valid number (0 to 9999)");
         a.iMaxRepeats = std::stoi(s);
     }},
    {{"json", 0, false}, SetFlag<&TArgs::bJson>},
    {{"quiet", 'q', false}, SetFlag<&TArgs::bQuiet>},
    {{"trace", 0, true}, SetText<&TArgs::sTrace>},
    {{"list-ports", 0, false}, SetFlag<&TArgs::bListPorts>},
    {{"list-firmware", 0, false}, SetFlag<&TArgs::bListFirmware>},
    {{"version", 'V', false},
     [](TArgs&, const std::string&) {
         Console.Out(std::string("kelvo-update ") + KelvoVersion);
         std::exit(0);
     }},
    {{"help", 'h', false},
     [](TArgs&, const std::string&) {
         Console.Out(PlainLines(Usage));
         Console.Out(std::string("\nThe whole command line, the JSON Lines included: ") +
                     CliDocument);
         std::exit(0);
     }},
    {{"all-ports", 0, false}, SetFlag<&TArgs::bAllPorts>},
    {{"child", 0, false}, SetFlag<&TArgs::bChild>},
    {{"parent-pid", 0, true},
     [](TArgs& a, const std::string& s) {
         char* pEnd = nullptr;
         a.iParentPid = std::strtoll(s.c_str(), &pEnd, 10);
         if (s.empty() || *pEnd != '\0')
             UsageError("--parent-pid needs a process id, not '" + s + "'");
     }},
    {{"file-sha256", 0, true}, SetText<&TArgs::sFileSha256>},
    {{"history", 0, false}, SetFlag<&TArgs::bHistory>},
    {{"limit", 0, true},
     [](TArgs& a, const std::string& s) {
         a.history.iLimit = static_cast<int>(Count("--limit", s, 999999));
     }},
    {{"serial", 0, true},
     [](TArgs& a, const std::string& s) {
         if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos ||
             std::stoull(s) > 0xFFFFFFFFull)
             UsageError("--serial: '" + s + "' is not a valid serial number");
         a.history.iSerial = static_cast<std::uint32_t>(std::stoull(s));
     }},
    {{"since", 0, true},
     [](TArgs& a, const std::string& s) {
         if (!NormalizeSince(s))
             UsageError("--since: '" + s +
                        "' is not a date (YYYY-MM-DD, or YYYY-MM-DDTHH:MM:SS, in UTC)");
         a.history.sSince = s;
     }},
    {{"csv", 0, false}, SetFlag<&TArgs::bCsv>},
    {{"watch", 0, false}, SetFlag<&TArgs::bWatch>},
    {{"only-new", 0, false}, SetFlag<&TArgs::bOnlyNew>},
    {{"max-parallel", 0, true},
     [](TArgs& a, const std::string& s) {
         a.iMaxParallel = Count("--max-parallel", s, 999);
     }},
    {{"count", 0, true},
     [](TArgs& a, const std::string& s) {
         a.iCount = Count("--count", s, 999999);
     }},
};

// The options as the parser knows them.
constexpr auto aOptionDefs = [] {
    std::array<TOptionDef, std::size(aOptions)> a{};
    for (std::size_t i = 0; i < a.size(); ++i)
        a[i] = aOptions[i].def;
    return a;
}();

TArgs ParseArgs(int argc, char** argv) {
    TParsedArgs parsed;
    try {
        parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), aOptionDefs);
    } catch (const ECmdLine& e) {
        UsageError(e.what());
    }
    TArgs a;
    for (const auto& [sName, sValue] : parsed.aOptions) {
        // The parser knows only the table's options.
        const auto it = std::find_if(std::begin(aOptions), std::end(aOptions),
                                     [&](const TCliOption& o) { return sName == o.def.sLong; });
        it->apply(a, sValue);
    }
    for (const std::string& s : parsed.aWords) {
        if (s.find(':') == std::string::npos)
            UsageError("unexpected argument '" + s + "'");
        a.aKeyValues.push_back(s);
    }
    const bool bFilters = a.history.iLimit != THistoryFilter{}.iLimit || a.history.iSerial ||
                          !a.history.sSince.empty() || a.bCsv;
    if (bFilters && !a.bHistory)
        UsageError("--limit, --serial, --since and --csv go with --history");
    if ((a.bOnlyNew || a.iMaxParallel || a.iCount) && !a.bWatch)
        UsageError("--only-new, --max-parallel and --count go with --watch");
    if (a.bWatch && (a.bAllPorts || !a.aPorts.empty() || a.bChild || a.bListPorts ||
                     a.bListFirmware || a.bHistory))
        UsageError("--watch takes the ports as they come: it does not go with --port, "
                   "--all-ports, the lists or --history");
    if (a.bHistory) {
        if (a.aPorts.size() > 1 || a.bAllPorts)
            UsageError("--history looks for one port at most");
        if (a.bCsv && a.bJson)
            UsageError("--csv and --json do not go together");
        if (!a.aPorts.empty())
            a.history.sPort = a.aPorts.front();
        return a;
    }
    if (a.aPorts.empty() && !a.bAllPorts && !a.bWatch) {
        if (const char* s = std::getenv("KELVO_PORT"); s != nullptr && *s != '\0')
            a.aPorts.push_back(s);
    }
    if (a.bAllPorts && !a.aPorts.empty())
        UsageError("--all-ports and --port do not go together");
    if (a.bChild && (a.aPorts.size() != 1 || !a.bJson))
        UsageError("--child is for one port with --json");
    if (!a.bChild && (a.iParentPid || a.sFileSha256))
        UsageError("--parent-pid and --file-sha256 are for --child");
    if (a.sFileSha256 && !a.sFile)
        UsageError("--file-sha256 needs --file");
    return a;
}

// "auto": the only port there is.
std::string ResolvePort(const std::string& sPort) {
    if (sPort != "auto")
        return sPort;
    std::vector<std::string> aPorts;
    ListComPorts(aPorts, PortDeviceDir());
    if (aPorts.size() == 1)
        return aPorts.front();
    if (aPorts.empty())
        Refuse("--port auto: no serial port of a USB serial device is present");
    Refuse("--port auto: more than one port is present; choose one with --port:", aPorts);
}

// The ports of the run: every port there is with --all-ports, each device once under the first
// of its names, else those given, each "auto" resolved. A port given twice, under any name, is
// refused: two updates cannot share it.
std::vector<std::string> ResolvePorts(const TArgs& args) {
    std::vector<std::string> aPorts;
    std::vector<std::string> aSeen; // each port's identity, see PortIdentity
    if (args.bAllPorts) {
        std::vector<std::string> aListed;
        ListComPorts(aListed, PortDeviceDir());
        for (const std::string& sPort : aListed) {
            const std::string sSeen = PortIdentity(sPort);
            if (std::find(aSeen.begin(), aSeen.end(), sSeen) != aSeen.end())
                continue;
            aSeen.push_back(sSeen);
            aPorts.push_back(sPort);
        }
        if (aPorts.empty())
            Refuse("--all-ports: no serial port of a USB serial device is present");
        return aPorts;
    }
    if (args.aPorts.empty())
        UsageError("--port is missing (or set KELVO_PORT)");
    for (const std::string& sGiven : args.aPorts) {
        const std::string sPort = ResolvePort(sGiven);
        const std::string sSeen = PortIdentity(sPort);
        if (std::find(aSeen.begin(), aSeen.end(), sSeen) != aSeen.end())
            UsageError("the port '" + sPort + "' is given twice");
        aSeen.push_back(sSeen);
        aPorts.push_back(sPort);
    }
    return aPorts;
}

// Only yes ("y" or "yes") counts as consent, as in the dialog: no is the default, and an empty
// answer or the end of input (Ctrl-D) is no.
bool AskOnTerminal(const std::string& sQuestion) {
    Console.ErrInPlace(PlainLines(sQuestion) + " [y/N] ");
    std::string sAnswer;
    if (!std::getline(std::cin, sAnswer)) {
        // Nothing ended the line on the terminal: what follows starts a line of its own.
        Console.Err("");
        return false;
    }
    std::transform(sAnswer.begin(), sAnswer.end(), sAnswer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return sAnswer == "y" || sAnswer == "yes";
}

void OnInterrupt(int) {
    bInterrupted = true;
    bCancel = true;
}

// --history: the journal's latest runs; 1 when the journal cannot be read.
int PrintHistory(const TArgs& args) {
    const THistoryForm form = args.bJson  ? THistoryForm::Json
                              : args.bCsv ? THistoryForm::Csv
                                          : THistoryForm::Table;
    std::vector<TJournalRun> aRuns;
    const std::string sPath = JournalPath();
    // No journal yet: no runs, and nothing created for asking.
    if (std::error_code ec; std::filesystem::exists(sPath, ec)) {
        try {
            aRuns = TJournal::Open(sPath)->History(args.history);
        } catch (const std::exception& e) {
            Console.Err("kelvo-update: the update journal cannot be read: " +
                        EscapeControlChars(e.what()));
            return ExitFatal;
        }
    }
    for (const std::string& s : HistoryLines(aRuns, form))
        Console.Out(s);
    return 0;
}

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

// The arguments of a child process for one port of several (besides the port), each with the
// options of this run and the question answered (it was asked once for all); *psInput: what it
// reads on its standard input. sFileContent: the firmware file as read and checked here, handed
// to every child with its SHA-256 sFileSha256.
std::vector<std::string> ChildArgs(const TArgs& args, const std::string& sFileContent,
                                   const std::string& sFileSha256, std::string* psInput) {
    std::vector<std::string> a = {"--child",
                                  "--json",
                                  "--yes",
                                  "--max-repeats",
                                  std::to_string(args.iMaxRepeats),
                                  "--parent-pid",
                                  std::to_string(ThisProcessId())};
    if (args.sFile) {
        a.insert(a.end(), {"--file", *args.sFile, "--file-sha256", sFileSha256});
        *psInput = sFileContent;
    }
    if (args.bReadInfoOnly)
        a.push_back("--read-info-only");
    if (args.sTrace) {
        // Begun empty here; every child adds its lines, each of which names its port.
        if (*args.sTrace != "-") {
            const std::unique_ptr<std::FILE, int (*)(std::FILE*)> hFile(
                std::fopen(args.sTrace->c_str(), "w"), std::fclose);
            if (!hFile)
                Refuse("cannot write the trace file '" + *args.sTrace +
                       "': " + std::error_code(errno, std::generic_category()).message());
        }
        a.insert(a.end(), {"--trace", *args.sTrace});
    }
    a.insert(a.end(), args.aKeyValues.begin(), args.aKeyValues.end());
    return a;
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

// The trace's file: standard error, or a file of its own that the program owns.
struct TTraceFile {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> hFile{nullptr, std::fclose};
    std::FILE* pFile = nullptr;
};

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
        return PrintHistory(args);

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
    const char* sQuestion = bFormatMemory    ? Texts::AskClearsMeasurements
                            : iFileMode == 0 ? Texts::AskSaveMeasurements
                                             : nullptr;
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
    const std::string& sPort = aPorts.front();

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
    TJsonRun json(sPort, args.bChild);
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
    settings.journal =
        TRunJournal::TStart{"kelvo-update", sPort, args.sFile.value_or(""), sFileSha256};
    if (portTrace)
        settings.openPort = portTrace->Wrap(OpenComPort);
    // A child's diagnostics go out among those of the other ports: they name theirs.
    const std::string sDiagnosticPrefix =
        "kelvo-update: " + (args.bChild ? EscapeControlChars(sPort) + ": " : std::string());
    // A port that does not exist: where to find the ones that do.
    const auto diagnostic = [](const TStep& step) {
        return EscapeControlChars(step.sText) +
               (step.bNoSuchPort ? " ('kelvo-update --list-ports' lists the serial ports)" : "");
    };
    TUpdateSession session(settings, [&](const TStep& step) {
        warnOfTrace();
        const bool bDiagnostic = step.action == TAction::Diagnostic;
        if (args.bJson) {
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

} // namespace

int main(int argc, char** argv) {
    return GuardMain(
        "kelvo-update", [&] { return RunProgram(argc, argv); },
        [](const std::string& sLine) { Console.Err(sLine); });
}
