#include "cli/uArgs.h"

#include "cli/uCliOutput.h"
#include "cli/uConsolePlatform.h"
#include "cmdline/uCmdLine.h"
#include "cmdline/uMainGuard.h"
#include "frontend/uPortList.h"
#include "frontend/uStationEngine.h"
#include "hexline/uShownText.h"
#include "uCliDocument.h"
#include "uVersionInfo.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <memory>
#include <system_error>

namespace {

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
                      as JSON Lines, with --csv as CSV); --limit N runs (20; with --since:
                      all), only those of --serial N, of --port NAME (a port or converter
                      name, also without /dev/ or /dev/serial/by-id/), --since DATE
                      (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS, UTC)
      --csv           with --history: CSV for a spreadsheet
      --limit N       with --history: at most N runs
      --serial N      the serial number on the logger's label (1 to 4294967295), for a
                      logger found in its bootloader, which does not tell it: the image is
                      chosen as if it had been read; a logger whose application reports another
                      one is not updated (exit status 40); one port only. With --history: the
                      runs of the logger with this serial number
      --since DATE    with --history: every run since DATE (UTC), unless --limit
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
with the serial number that run read. Where only the port name ties the two (a converter without
a serial number), the question whether it is that logger is asked on the terminal; with --yes, or
without a terminal, that serial number is not taken, and a logger that it would pin to its
firmware is not updated (exit status 47: "in its bootloader, serial unknown: update it with
--serial"). A journal that cannot be written gives a warning; the update goes on.

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
port, or --json objects with the port. The summary lists the latest 100 updates (the earlier ones
are counted), the loggers plugged in whose update never started (the station was stopped or had
made its --count updates), and each port with failed updates once. The exit status is 0 when
every update succeeded and no logger was left out, otherwise that of the first update that
failed, else 20 for a logger not started.

Exit status:
  0   success (also for a list, the version and this text)
  10  the port is not ready
  11  an error reading or writing the port
  20  cancelled (--watch: also a logger plugged in whose update never started)
  30  no answer, after the repeats
  40  no update for this logger (also: its application reports another serial number than
      --serial)
  41  the logger is not ready
  42  the image's last line is wrong
  43  a conversion error
  44  a programming error, after the repeats
  45  the update was not successful
  46  an invalid answer from the logger
  47  no fitting image (also: a logger in its bootloader that may be pinned to its firmware,
      whose serial number is unknown)
  70  only the update information was read (--read-info-only)
  1   a fatal exception (--history: the journal cannot be read)
  2   a usage error, or a refusal before a port was opened (also: no port for --list-ports
      or --port auto))";

// Every text for a person that holds what the user gave or the system told (a port name, a file
// name, a file's text, a process name) goes to the terminal through EscapeControlChars.

} // namespace

void UsageError(const std::string& s) {
    throw EExit(ExitUsage,
                "kelvo-update: " + EscapeControlChars(s) + "\nTry 'kelvo-update --help'.");
}

void Refuse(const std::string& s, const std::vector<std::string>& aNames) {
    std::string sText = "kelvo-update: " + EscapeControlChars(s);
    for (const std::string& sName : aNames)
        sText += "\n  " + EscapeControlChars(sName);
    throw EExit(ExitUsage, sText);
}

namespace {

// A number of iMin to iMax given with an option.
std::int64_t Number(const char* sOption, const std::string& s, std::int64_t iMin,
                    std::int64_t iMax) {
    try {
        return NumberOption(sOption, s, iMin, iMax);
    } catch (const ECmdLine& e) {
        UsageError(e.what());
    }
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
         a.iMaxRepeats = static_cast<int>(Number("--max-repeats", s, 0, 9999));
     }},
    {{"json", 0, false}, SetFlag<&TArgs::bJson>},
    {{"quiet", 'q', false}, SetFlag<&TArgs::bQuiet>},
    {{"trace", 0, true}, SetText<&TArgs::sTrace>},
    {{"list-ports", 0, false}, SetFlag<&TArgs::bListPorts>},
    {{"list-firmware", 0, false}, SetFlag<&TArgs::bListFirmware>},
    {{"version", 'V', false},
     [](TArgs&, const std::string&) {
         Console.Out(std::string("kelvo-update ") + KelvoVersion);
         throw EExit(0);
     }},
    {{"help", 'h', false},
     [](TArgs&, const std::string&) {
         Console.Out(PlainLines(Usage));
         Console.Out(std::string("\nThe whole command line, the JSON Lines included: ") +
                     CliDocument);
         throw EExit(0);
     }},
    {{"all-ports", 0, false}, SetFlag<&TArgs::bAllPorts>},
    {{"child", 0, false}, SetFlag<&TArgs::bChild>},
    {{"parent-pid", 0, true},
     [](TArgs& a, const std::string& s) {
         a.iParentPid = Number("--parent-pid", s, 1, 0xFFFFFFFF);
     }},
    {{"update-id", 0, true},
     [](TArgs& a, const std::string& s) {
         a.iUpdateId = Number("--update-id", s, 1, std::int64_t{1} << 53);
     }},
    {{"file-sha256", 0, true}, SetText<&TArgs::sFileSha256>},
    {{"port-arrived", 0, false}, SetFlag<&TArgs::bPortArrived>},
    {{"gui-station", 0, false}, SetFlag<&TArgs::bGuiStation>},
    {{"history", 0, false}, SetFlag<&TArgs::bHistory>},
    {{"limit", 0, true},
     [](TArgs& a, const std::string& s) {
         a.history.iLimit = static_cast<int>(Number("--limit", s, 1, 999999));
         a.bLimit = true;
     }},
    {{"serial", 0, true},
     [](TArgs& a, const std::string& s) {
         // Which of its two uses counts is known once the whole line is read.
         a.iLabelSerial = static_cast<std::uint32_t>(Number("--serial", s, 0, 0xFFFFFFFF));
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
         a.iMaxParallel = static_cast<std::size_t>(Number("--max-parallel", s, 1, 999));
     }},
    {{"count", 0, true},
     [](TArgs& a, const std::string& s) {
         a.iCount = static_cast<std::size_t>(Number("--count", s, 1, 999999));
     }},
};

// The options as the parser knows them.
constexpr auto aOptionDefs = [] {
    std::array<TOptionDef, std::size(aOptions)> a{};
    for (std::size_t i = 0; i < a.size(); ++i)
        a[i] = aOptions[i].def;
    return a;
}();

} // namespace

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
    if (a.bHistory) {
        a.history.iSerial = a.iLabelSerial;
        a.iLabelSerial.reset();
    }
    const bool bFilters = a.bLimit || !a.history.sSince.empty() || a.bCsv;
    if (bFilters && !a.bHistory)
        UsageError("--limit, --since and --csv go with --history");
    // The number on a label: a logger's serial number is never 0, which stands for none read.
    if (a.iLabelSerial == 0u)
        UsageError("--serial: 0 is not a logger's serial number (1 to 4294967295)");
    if (a.iLabelSerial && (a.bWatch || a.bAllPorts || a.aPorts.size() > 1))
        UsageError("--serial names one logger: it goes with one port, not with several, "
                   "--all-ports or --watch");
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
        // A time to start from asks for every run since then: a day of a station is more than
        // the latest 20.
        if (!a.bLimit && !a.history.sSince.empty())
            a.history.iLimit = 0;
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
    if (!a.bChild && (a.iParentPid || a.sFileSha256 || a.bPortArrived || a.bGuiStation))
        UsageError("--parent-pid, --file-sha256, --port-arrived and --gui-station are for --child");
    if (!a.bChild && a.iUpdateId)
        UsageError("--update-id is for --child");
    if (a.sFileSha256 && !a.sFile)
        UsageError("--file-sha256 needs --file");
    return a;
}

namespace {

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

} // namespace

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

// The arguments of a child process for one port of several (besides the port), each with the
// options of this run and the question answered (it was asked once for all); *psInput: what it
// reads on its standard input. sFileContent: the firmware file as read and checked here, handed
// to every child with its SHA-256 sFileSha256.
std::vector<std::string> ChildArgs(const TArgs& args, const std::string& sFileContent,
                                   const std::string& sFileSha256, std::string* psInput) {
    std::vector<std::string> a = ChildBaseArgs(args.iMaxRepeats, ThisProcessId());
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
