// kelvo-update's command line: the usage text, the options and their checks, the ports they name,
// the question before the update, and the arguments of a child for one port of several. A usage
// error or a refusal throws EExit with exit status 2, which the program's main guard reports.
#pragma once

#include "journal/uJournal.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr int ExitUsage = 2;
constexpr int ExitFatal = 1;

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
    // Hidden, with --child: the number that the process that started this one gave the update,
    // which every JSON object of it carries.
    std::optional<long long> iUpdateId;
    std::optional<std::string> sFileSha256;
    // Hidden, with --child: the station started this update because the port has just arrived;
    // an open refused while the port settles is tried again for a few seconds.
    bool bPortArrived = false;
    // Hidden, with --child: started by the GUI's station; its journal row names the GUI's program.
    bool bGuiStation = false;
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
    bool bLimit = false; // --limit given: else all the runs since --since, or the latest 20
    THistoryFilter history;
    int iMaxRepeats = 3;
    // --serial for an update: the serial number from the logger's label.
    std::optional<std::uint32_t> iLabelSerial;
    std::vector<std::string> aKeyValues;
};

// The arguments after the program's name, checked. --version and --help print their text and
// throw EExit with status 0.
TArgs ParseArgs(int argc, char** argv);

// A usage error: the text and where to find help.
[[noreturn]] void UsageError(const std::string& s);
// A refusal before any port is opened; aNames, if any, each on a line of its own below it.
[[noreturn]] void Refuse(const std::string& s, const std::vector<std::string>& aNames = {});

// The ports of the run: every port there is with --all-ports, each device once under the first
// of its names, else those given, each "auto" resolved. A port given twice, under any name, is
// refused: two updates cannot share it.
std::vector<std::string> ResolvePorts(const TArgs& args);

// Only yes ("y" or "yes") counts as consent, as in the dialog: no is the default, and an empty
// answer or the end of input (Ctrl-D) is no.
bool AskOnTerminal(const std::string& sQuestion);

// The arguments of a child process for one port of several (besides the port), each with the
// options of this run and the question answered (it was asked once for all); *psInput: what it
// reads on its standard input. sFileContent: the firmware file as read and checked here, handed
// to every child with its SHA-256 sFileSha256.
std::vector<std::string> ChildArgs(const TArgs& args, const std::string& sFileContent,
                                   const std::string& sFileSha256, std::string* psInput);
