// The command line of kelvo-logger-sim, parsed without touching the system so that it can be
// tested anywhere.
#pragma once

#include "sim/uLoggerModel.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TSimOptions {
    TLoggerConfig config;
    std::uint32_t iBaud = 0; // 0: answer at once
    // After a finish request the logger restarts and hears nothing for this long; the updater
    // waits 2,000 ms before it asks again.
    std::uint32_t iRestartMs = 1500;
    // The answers as a USB serial converter hands them to the host: whole packets of
    // LatencyPacket bytes, a partial one iLatencyMs after its first byte; 0: byte by byte.
    std::uint32_t iLatencyMs = 0;
    std::string sLink;      // symlink to the slave side, empty for none
    std::string sRecord;    // file for the accepted lines, empty for none
    std::string sImageFile; // firmware file with the expected image, empty for none; the front
                            // end reads it into config (LoadImageFile)
    bool bVerbose = false;
    bool bHelp = false;
    bool bVersion = false;
};

// The packet size of a converter's answers with --latency.
constexpr std::size_t LatencyPacket = 64;

// Exit codes of the program.
namespace SimExit {
constexpr int Ok = 0;         // stopped by SIGINT or SIGTERM, or --help
constexpr int Failure = 1;    // the pseudo-terminal could not be set up or served
constexpr int BadOptions = 2; // a bad command line, or a --link/--record/--image-file path that
                              // cannot be used
constexpr int Hangup = 3;     // a hangup fault closed the line
} // namespace SimExit

// A fault as --fault gives it: "KIND:FAULT[:N[:TIMES]]", for example "line:echo:5" or
// "ident:noanswer:1:5". Empty result and a message in sError for a malformed text or a fault that
// does not apply to the kind.
std::optional<TFault> ParseFault(std::string_view sText, std::string& sError);

// aArgs without the program name. A preset is applied first, the other settings on top of it in
// any order. Empty result and a message in sError for a bad command line.
std::optional<TSimOptions> ParseSimOptions(const std::vector<std::string>& aArgs,
                                           std::string& sError);

// Reads the image of a firmware file (eight header lines key=value, then the image lines; every
// line with "=" is left out) without touching the catalogue's file slot. Empty result and a
// message in sError when the file cannot be read or its header has a bad number.
std::optional<TLoggerImage> LoadImageFile(const std::string& sFileName, std::string& sError);

std::string SimUsage();
