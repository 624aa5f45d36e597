// kelvo-update: the firmware update of a Kelvo logger from a terminal or a script.
#include "device/uKelvoCommThread.h"
#include "device/uOptions.h"
#include "firmware/uFWVersions.h"
#include "firmware/uFwFile.h"
#include "frontend/uNotifyTexts.h"
#include "frontend/uPortList.h"
#include "frontend/uStartupOptions.h"
#include "frontend/uUpdateRunner.h"
#include "uVersionInfo.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

constexpr int ExitUsage = 2;
constexpr int ExitFatal = 1;

constexpr const char* Usage =
    R"(Usage: kelvo-update --port NAME [options] [key:value ...]
Updates the firmware of a Kelvo logger on the serial port NAME (COM3 on Windows, a device path
such as /dev/ttyUSB0 elsewhere).

Options:
  --port NAME        the serial port of the logger
  --yes              answer the question before the update with yes
  --file FILE        use this firmware file instead of the built-in images (internal mode, f:+)
  --read-info-only   stop once the logger's information is read (internal mode)
  --max-repeats N    repeat at most N times after a communication or programming error (3)
  --json             one JSON object per line instead of the report
  --quiet            print only the outcome
  --list-ports       print the serial ports of USB virtual COM port devices
  --list-firmware    print the built-in firmware images (and the file given with --file)
  --version, --help
  key:value          start-up options: mf:+ (the update clears the measurements); in the
                     internal mode also cc:-, cf:-, cp:- (relax checks) and f:+ (firmware files)

Exit status: 0 success; the status code of a failed update (10, 11, 20, 30, 40-47, 70);
1 a fatal exception; 2 a usage error or a refusal before the port was opened.
)";

struct TArgs {
    std::optional<std::string> sPort;
    std::optional<std::string> sFile;
    bool bReadInfoOnly = false;
    bool bYes = false;
    bool bJson = false;
    bool bQuiet = false;
    bool bListPorts = false;
    bool bListFirmware = false;
    int iMaxRepeats = 3;
    std::vector<std::string> aKeyValues;
};

[[noreturn]] void UsageError(const std::string& s) {
    std::cerr << "kelvo-update: " << s << "\nTry 'kelvo-update --help'.\n";
    std::exit(ExitUsage);
}

TArgs ParseArgs(int argc, char** argv) {
    TArgs a;
    const auto value = [&](int& i) -> std::string {
        // An option in the place of the value means the value was forgotten.
        if (i + 1 >= argc || argv[i + 1][0] == '-')
            UsageError(std::string(argv[i]) + " needs a value");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string s = argv[i];
        if (s == "--port")
            a.sPort = value(i);
        else if (s == "--file")
            a.sFile = value(i);
        else if (s == "--read-info-only")
            a.bReadInfoOnly = true;
        else if (s == "--yes")
            a.bYes = true;
        else if (s == "--json")
            a.bJson = true;
        else if (s == "--quiet")
            a.bQuiet = true;
        else if (s == "--list-ports")
            a.bListPorts = true;
        else if (s == "--list-firmware")
            a.bListFirmware = true;
        else if (s == "--max-repeats") {
            const std::string v = value(i);
            if (v.empty() || v.size() > 4 || v.find_first_not_of("0123456789") != std::string::npos)
                UsageError("--max-repeats needs a number from 0 to 9999, not '" + v + "'");
            a.iMaxRepeats = std::stoi(v);
        } else if (s == "--version") {
            std::cout << "kelvo-update " << KelvoVersion << "\n";
            std::exit(0);
        } else if (s == "--help" || s == "-h") {
            std::cout << Usage;
            std::exit(0);
        } else if (s.rfind("--", 0) == 0)
            UsageError("unknown option " + s);
        else if (s.find(':') != std::string::npos)
            a.aKeyValues.push_back(s);
        else
            UsageError("unexpected argument '" + s + "'");
    }
    return a;
}

std::string JsonString(const std::string& s) {
    std::string r = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            r += "\\\"";
            break;
        case '\\':
            r += "\\\\";
            break;
        case '\n':
            r += "\\n";
            break;
        case '\r':
            r += "\\r";
            break;
        case '\t':
            r += "\\t";
            break;
        default:
            if (c < 0x20) {
                char b[8];
                std::snprintf(b, sizeof b, "\\u%04x", c);
                r += b;
            } else {
                r += static_cast<char>(c);
            }
        }
    }
    return r + "\"";
}

// The time part of a report line, "hh-nn-ss".
std::string TimeOfDay() {
    return ReportLine("").substr(0, 8);
}

// A progress bar with percentage and estimated time left, redrawn in place on a terminal.
class TProgressBar {
public:
    void Show(int iPercent) {
        const auto tNow = std::chrono::steady_clock::now();
        if (!FtStart) {
            FtStart = tNow;
            FiStartPercent = iPercent;
        }
        std::string sEta = "--:--";
        const double dDone = iPercent - FiStartPercent;
        if (dDone > 0) {
            const double dSeconds = std::chrono::duration<double>(tNow - *FtStart).count();
            const int iLeft = static_cast<int>(dSeconds / dDone * (99 - iPercent));
            char b[16];
            std::snprintf(b, sizeof b, "%d:%02d", iLeft / 60, iLeft % 60);
            sEta = b;
        }
        const int iFilled = iPercent * 30 / 100;
        std::fprintf(stderr, "\r[%s%s] %3d%%  %s left ", std::string(iFilled, '#').c_str(),
                     std::string(30 - iFilled, ' ').c_str(), iPercent, sEta.c_str());
        std::fflush(stderr);
        FbShown = true;
    }
    void Clear() {
        if (FbShown)
            std::fprintf(stderr, "\r%60s\r", "");
        FbShown = false;
    }

private:
    std::optional<std::chrono::steady_clock::time_point> FtStart;
    int FiStartPercent = 0;
    bool FbShown = false;
};

// A dialog's text with its CR LF line breaks as plain line ends.
std::string PlainLines(std::string s) {
    std::erase(s, '\r');
    return s;
}

bool AskOnTerminal(const std::string& sQuestion) {
    std::cerr << PlainLines(sQuestion) << " [yes/no] " << std::flush;
    std::string sAnswer;
    if (!std::getline(std::cin, sAnswer))
        return false;
    return sAnswer == "y" || sAnswer == "Y" || sAnswer == "yes" || sAnswer == "Yes";
}

void OnInterrupt(int) {
    bInterrupted = true;
    bCancel = true;
}

} // namespace

int main(int argc, char** argv) {
    CommThreadClass = CommThreadClassOf<TKelvoCommThread>();
    const TArgs args = ParseArgs(argc, argv);

    const bool bInternal = IsInternalMode();
    ReadStartupOptions(args.aKeyValues, bInternal);

    if (args.sFile && iFileMode != 2)
        UsageError("--file needs the internal mode with the option f:+");
    if (args.bReadInfoOnly && !(bInternal && bReadInfoSupported))
        UsageError("--read-info-only needs the internal mode");

    if (args.sFile) {
        std::string sError;
        if (!LoadFwFile(*args.sFile, &sError)) {
            std::cerr << "kelvo-update: cannot use the firmware file '" << *args.sFile
                      << "': " << sError << "\n";
            return ExitUsage;
        }
    }

    if (args.bListPorts || args.bListFirmware) {
        if (args.bListPorts) {
            std::vector<std::string> aPorts;
            ListComPorts(aPorts);
            for (const auto& s : aPorts)
                std::cout << s << "\n";
        }
        if (args.bListFirmware) {
            std::string sLine;
            for (const char* s : FirmwareColumns)
                sLine += std::string(sLine.empty() ? "" : "\t") + s;
            std::cout << sLine << "\n";
            std::vector<std::int32_t> aEntries;
            if (args.sFile)
                aEntries.push_back(0);
            for (std::int32_t i = GetFwCount(); i >= 1; --i)
                aEntries.push_back(i);
            for (std::int32_t i : aEntries) {
                sLine.clear();
                for (const auto& s : FirmwareRow(GetFwHeader(i)))
                    sLine += (sLine.empty() ? "" : "\t") + s;
                std::cout << sLine << "\n";
            }
        }
        return 0;
    }

    if (!args.sPort)
        UsageError("--port is missing");

    // The question that the "Update" button asks.
    const char* sQuestion = bFormatMemory    ? Texts::AskClearsMeasurements
                            : iFileMode == 0 ? Texts::AskSaveMeasurements
                                             : nullptr;
    if (sQuestion && !args.bYes) {
        if (!isatty(fileno(stdin))) {
            std::cerr << "kelvo-update: the update asks a question and there is no terminal to "
                         "answer it; give --yes to answer it with yes\n";
            return ExitUsage;
        }
        if (!AskOnTerminal(sQuestion)) {
            std::cerr << "kelvo-update: not confirmed, nothing done\n";
            return ExitUsage;
        }
    }

    iFwIndex = args.sFile ? 0 : -1;
    bReadInfoOnly = args.bReadInfoOnly;
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);

    const bool bBar = !args.bJson && !args.bQuiet && isatty(fileno(stderr));
    TProgressBar bar;
    TRunSettings settings;
    settings.sPort = *args.sPort;
    settings.iMaxRepeats = args.iMaxRepeats;
    const TRunResult result =
        RunUpdate(settings, [&](std::int32_t iCode, std::int32_t iValue, const TStep& step) {
            if (args.bJson) {
                if (step.action == TAction::Report)
                    std::cout << "{\"time\":" << JsonString(TimeOfDay()) << ",\"code\":" << iCode
                              << ",\"value\":" << iValue << ",\"text\":" << JsonString(step.sText)
                              << "}\n"
                              << std::flush;
                return;
            }
            if (args.bQuiet)
                return;
            if (step.action == TAction::Report) {
                bar.Clear();
                std::cout << ReportLine(step.sText) << "\n" << std::flush;
            } else if (step.action == TAction::Progress && bBar) {
                bar.Show(step.iValue);
            }
        });
    bar.Clear();

    const int iExit = result.bSuccess ? 0 : (result.bFatal ? ExitFatal : result.iStatus);
    if (args.bJson)
        std::cout << "{\"time\":" << JsonString(TimeOfDay()) << ",\"result\":" << iExit
                  << ",\"text\":" << JsonString(result.sMessage) << "}\n";
    else
        std::cout << PlainLines(result.sMessage) << "\n";
    return iExit;
}
