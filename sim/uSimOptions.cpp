#include "sim/uSimOptions.h"

#include "cmdline/uCmdLine.h"
#include "firmware/uFwFile.h"

#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>

namespace {

constexpr std::uint32_t MaxBaud = 4000000;
constexpr std::uint32_t MaxLatencyMs = 255; // the longest latency timer of common converters

// A number from iMin to iMax, decimal or hexadecimal after 0x, into i; i stays as it was when s
// is not one.
bool SetNumber(std::string_view s, std::uint32_t iMin, std::uint32_t iMax, std::uint32_t& i) {
    const std::optional<std::int64_t> n = ParseNumber(s, iMin, iMax, TNumberForm::DecimalOrHex);
    if (n)
        i = static_cast<std::uint32_t>(*n);
    return n.has_value();
}

// A 16-bit code, or a version word also as MAJOR.MINOR (5.136 is 0x0588).
bool ParseWord(std::string_view s, bool bVersion, std::uint16_t& i) {
    std::uint32_t n = 0;
    const std::size_t iDot = s.find('.');
    if (bVersion && iDot != std::string_view::npos) {
        std::uint32_t iMajor = 0;
        std::uint32_t iMinor = 0;
        if (!SetNumber(s.substr(0, iDot), 0, 255, iMajor) ||
            !SetNumber(s.substr(iDot + 1), 0, 255, iMinor))
            return false;
        n = iMajor << 8 | iMinor;
    } else if (!SetNumber(s, 0, 0xFFFF, n)) {
        return false;
    }
    i = static_cast<std::uint16_t>(n);
    return true;
}

// A count of occurrences: a decimal number from 1.
bool ParseCount(std::string_view s, std::uint32_t& i) {
    const std::optional<std::int64_t> n = ParseNumber(s, 1, 0xFFFFFFFF);
    if (n)
        i = static_cast<std::uint32_t>(*n);
    return n.has_value();
}

// The value of an enumeration 0 .. iCount - 1 that name() calls sName.
template <typename T>
std::optional<T> ByName(std::string_view sName, std::size_t iCount, std::string_view (*name)(T)) {
    for (std::size_t i = 0; i < iCount; ++i)
        if (name(static_cast<T>(i)) == sName)
            return static_cast<T>(i);
    return std::nullopt;
}

using TSetter = std::function<bool(TSimOptions&, const std::string&)>;

TSetter Word(std::uint16_t TLoggerConfig::*pField, bool bVersion = false) {
    return [pField, bVersion](TSimOptions& o, const std::string& s) {
        return ParseWord(s, bVersion, o.config.*pField);
    };
}

TSetter OptionalWord(std::optional<std::uint16_t> TLoggerConfig::*pField) {
    return [pField](TSimOptions& o, const std::string& s) {
        std::uint16_t i = 0;
        if (!ParseWord(s, false, i))
            return false;
        o.config.*pField = i;
        return true;
    };
}

// Options that take a value, with what they expect (for the error message) and how they apply.
struct TValueOption {
    const char* sExpects;
    TSetter set;
};

const std::map<std::string, TValueOption, std::less<>>& ValueOptions() {
    static const std::map<std::string, TValueOption, std::less<>> map = {
        {"--app-class", {"a number 0-65535", Word(&TLoggerConfig::iAppClass)}},
        {"--app-version",
         {"a version word or MAJOR.MINOR", Word(&TLoggerConfig::iAppVersion, true)}},
        {"--serial",
         {"a number 0-4294967295",
          [](TSimOptions& o, const std::string& s) {
              return SetNumber(s, 0, 0xFFFFFFFF, o.config.iSerial);
          }}},
        {"--bl-class", {"a number 0-65535", Word(&TLoggerConfig::iBlClass)}},
        {"--bl-version", {"a version word or MAJOR.MINOR", Word(&TLoggerConfig::iBlVersion, true)}},
        {"--platform", {"a number 0-65535", Word(&TLoggerConfig::iPlatform)}},
        {"--print", {"a number 0-65535", Word(&TLoggerConfig::iPrint)}},
        {"--info", {"a number 0-65535", Word(&TLoggerConfig::iInfo)}},
        {"--upid-class", {"a number 0-65535", Word(&TLoggerConfig::iUpidClass)}},
        {"--upid-info", {"a number 0-65535", Word(&TLoggerConfig::iUpidInfo)}},
        {"--upid-platform", {"a number 0-65535", OptionalWord(&TLoggerConfig::iUpidPlatform)}},
        {"--upid-print", {"a number 0-65535", OptionalWord(&TLoggerConfig::iUpidPrint)}},
        {"--upid-reserve", {"a number 0-65535", Word(&TLoggerConfig::iUpidReserve)}},
        {"--upid-crc",
         {"valid, wrong or erased",
          [](TSimOptions& o, const std::string& s) {
              if (s == "valid")
                  o.config.eUpidCrc = TUpidCrc::Valid;
              else if (s == "wrong")
                  o.config.eUpidCrc = TUpidCrc::Wrong;
              else if (s == "erased")
                  o.config.eUpidCrc = TUpidCrc::Erased;
              else
                  return false;
              return true;
          }}},
        {"--start",
         {"app or bootloader",
          [](TSimOptions& o, const std::string& s) {
              if (s != "app" && s != "bootloader")
                  return false;
              o.config.bStartInBootloader = s == "bootloader";
              return true;
          }}},
        {"--class-after-restart",
         {"a number 0-65535", OptionalWord(&TLoggerConfig::iClassAfterRestart)}},
        {"--image",
         {"a built-in image 1-9",
          [](TSimOptions& o, const std::string& s) {
              std::uint32_t i = 0;
              if (!SetNumber(s, 1, LoggerPresetCount, i))
                  return false;
              o.config.iImage = static_cast<std::int32_t>(i);
              o.sImageFile.clear();
              return true;
          }}},
        {"--image-file",
         {"a file name",
          [](TSimOptions& o, const std::string& s) {
              o.sImageFile = s;
              return !s.empty();
          }}},
        {"--restart-ms",
         {"a time from 0 to 60000 ms",
          [](TSimOptions& o, const std::string& s) {
              return SetNumber(s, 0, 60000, o.iRestartMs);
          }}},
        {"--baud",
         {"a rate from 1 to 4000000",
          [](TSimOptions& o, const std::string& s) {
              return SetNumber(s, 1, MaxBaud, o.iBaud);
          }}},
        {"--latency",
         {"milliseconds from 1 to 255",
          [](TSimOptions& o, const std::string& s) {
              return SetNumber(s, 1, MaxLatencyMs, o.iLatencyMs);
          }}},
        {"--link",
         {"a path",
          [](TSimOptions& o, const std::string& s) {
              o.sLink = s;
              return !s.empty();
          }}},
        {"--record",
         {"a file name",
          [](TSimOptions& o, const std::string& s) {
              o.sRecord = s;
              return !s.empty();
          }}},
    };
    return map;
}

} // namespace

std::optional<TFault> ParseFault(std::string_view sText, std::string& sError) {
    std::vector<std::string_view> aPart;
    for (std::size_t iPos = 0;;) {
        const std::size_t iColon = sText.find(':', iPos);
        aPart.push_back(sText.substr(iPos, iColon - iPos));
        if (iColon == std::string_view::npos)
            break;
        iPos = iColon + 1;
    }
    const std::string sQuoted = "fault \"" + std::string(sText) + "\": ";
    if (aPart.size() < 2 || aPart.size() > 4) {
        sError = sQuoted + "expected KIND:FAULT[:N[:TIMES]]";
        return std::nullopt;
    }
    TFault fault;
    const auto eKind = ByName<TExchangeKind>(aPart[0], ExchangeKindCount, ExchangeKindName);
    if (!eKind) {
        sError = sQuoted + "unknown exchange kind \"" + std::string(aPart[0]) + "\"";
        return std::nullopt;
    }
    fault.eKind = *eKind;
    const auto eFault = ByName<TFaultType>(aPart[1], FaultTypeCount, FaultTypeName);
    if (!eFault) {
        sError = sQuoted + "unknown fault \"" + std::string(aPart[1]) + "\"";
        return std::nullopt;
    }
    fault.eFault = *eFault;
    if (!FaultApplies(fault.eKind, fault.eFault)) {
        sError = sQuoted + "fault \"" + std::string(aPart[1]) + "\" cannot strike \"" +
                 std::string(aPart[0]) + "\"";
        return std::nullopt;
    }
    if (aPart.size() > 2 && !ParseCount(aPart[2], fault.iFirst)) {
        sError = sQuoted + "occurrence must be a number from 1";
        return std::nullopt;
    }
    if (aPart.size() > 3 && !ParseCount(aPart[3], fault.iTimes)) {
        sError = sQuoted + "times must be a number from 1";
        return std::nullopt;
    }
    return fault;
}

std::optional<TSimOptions> ParseSimOptions(const std::vector<std::string>& aArgs,
                                           std::string& sError) {
    // The options in the project's command-line conventions; the logger settings come from the
    // table of value options.
    std::vector<TOptionDef> aSpecs = {{"help", 'h', false},
                                      {"verbose", 'v', false},
                                      {"version", 'V', false},
                                      {"preset", 0, true},
                                      {"fault", 0, true}};
    for (const auto& [sName, option] : ValueOptions())
        aSpecs.push_back({sName.c_str() + 2, 0, true});
    TParsedArgs parsed;
    try {
        parsed = ParseCommandLine(aArgs, aSpecs);
    } catch (const ECmdLine& e) {
        sError = std::string(e.what()) + " (see --help)";
        return std::nullopt;
    }
    if (!parsed.aWords.empty()) {
        sError = "unexpected argument \"" + parsed.aWords.front() + "\" (see --help)";
        return std::nullopt;
    }

    // The preset goes first, the other settings on top of it in their order.
    std::vector<std::pair<std::string, std::string>> aSet;
    TSimOptions options;
    std::optional<std::string> sPreset;
    for (const auto& [sName, sValue] : parsed.aOptions) {
        if (sName == "help") {
            options.bHelp = true;
        } else if (sName == "version") {
            options.bVersion = true;
        } else if (sName == "verbose") {
            options.bVerbose = true;
        } else if (sName == "preset") {
            if (sPreset) {
                sError = "only one --preset may be given";
                return std::nullopt;
            }
            sPreset = sValue;
        } else {
            aSet.emplace_back("--" + sName, sValue);
        }
    }

    if (sPreset) {
        auto config = LoggerPreset(*sPreset);
        if (!config) {
            sError = "unknown preset \"" + *sPreset + "\" (entry1 to entry9)";
            return std::nullopt;
        }
        options.config = std::move(*config);
    }
    for (const auto& [sName, sValue] : aSet) {
        if (sName == "--fault") {
            auto fault = ParseFault(sValue, sError);
            if (!fault)
                return std::nullopt;
            options.config.aFaults.push_back(*fault);
            continue;
        }
        const TValueOption& option = ValueOptions().find(sName)->second;
        if (!option.set(options, sValue)) {
            sError = "option " + sName + ": \"" + sValue + "\" is not " + option.sExpects;
            return std::nullopt;
        }
    }
    return options;
}

std::optional<TLoggerImage> LoadImageFile(const std::string& sFileName, std::string& sError) {
    // The file is taken as it is, image lines unchecked: a defective image is what some tests
    // want the logger to expect.
    std::string sContent;
    TBl3FileHeader header;
    try {
        sContent = ReadFwFileContent(sFileName);
        std::istringstream stream(sContent);
        ReadFwFileHeader(stream, header);
    } catch (const std::exception& e) {
        sError = "image file " + sFileName + ": " + e.what();
        return std::nullopt;
    }
    TLoggerImage image;
    image.iVersion =
        static_cast<std::uint16_t>((header.quarn_verH & 0xFF) << 8 | (header.quarn_verL & 0xFF));
    image.aLines = FwImageLines(sContent);
    return image;
}

std::string SimUsage() {
    return R"(Usage: kelvo-logger-sim [options]

A simulated Kelvo data logger on a pseudo-terminal. Prints the slave path on the first line of
standard output and serves it until SIGINT or SIGTERM.

Front end:
  --baud N                 pace both directions at N baud (10 bit-times a byte); default: at once
  --restart-ms MS          after a finish request the logger restarts and answers nothing for MS
                           milliseconds (default 1500; the updater waits 2000)
  --latency MS             answer like a USB serial converter: 64-byte packets, a partial one
                           MS milliseconds (1-255) after its first byte
  --link PATH              keep a symlink to the slave side at PATH (removed on exit)
  --record FILE            write every HEX line the bootloader accepted, one per line
  --verbose, -v            log every exchange to standard error
  --version, -V            the version
  --help, -h               this text

Logger (numbers decimal or 0x hex; versions also as MAJOR.MINOR):
  --preset entryN          hardware that fits built-in image N (1-9), expecting that image;
                           default: like entry9
  --app-class N            application class (26113)
  --app-version V          application version word
  --serial N               serial number
  --bl-class N             bootloader class: 51200, 51201 or 51202
  --bl-version V           bootloader version word
  --platform N             platform code of the platform reply
  --print N                print code of the platform reply
  --info N                 information word of the platform reply
  --upid-class N           update-ID block: class (26113)
  --upid-info N            update-ID block: info word
  --upid-platform N        update-ID block: platform (default: --platform)
  --upid-print N           update-ID block: print (default: --print)
  --upid-reserve N         update-ID block: reserve word
  --upid-crc MODE          valid, wrong (CRC plus 1) or erased (every word 0xFFFF)
  --start MODE             app or bootloader: what runs at start
  --class-after-restart N  class reported after a complete transfer (default: --app-class)
  --image N                the built-in image 1-9 the logger expects (default: the preset's, 9)
  --image-file FILE        the logger expects the image of this firmware file instead

Faults:
  --fault FAULT            repeatable; FAULT is KIND:FAULT[:N[:TIMES]]: strikes the N-th
                           exchange of KIND (default 1) and the TIMES-1 following ones (default 1)
  KIND   ident serial bootentry platform upid start line finish restart-ident
  FAULT  noanswer short corrupt exception echo stayapp wrongclass hangup

The finish request restarts the application, with the image's version, only when the flash holds
exactly the expected image with its vector-table line written last; otherwise the bootloader keeps
running.

Exit codes: 0 stopped by a signal, 1 the pseudo-terminal failed, 2 bad options, 3 hangup fault.
)";
}
