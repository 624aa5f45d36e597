// The simulated Kelvo logger as a byte-in/byte-out model: what the logger answers to the command
// frames and HEX lines that an update sends, with configurable hardware and injectable faults,
// and whether the lines it was given make up the image it expects.
// No clock, no threads, no system calls: a front end (the pseudo-terminal program, or a test's
// fake serial port) feeds it the bytes the host sent and passes its answers back.
#pragma once

#include "device/uKelvoWire.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The exchanges that a fault can be attached to.
enum class TExchangeKind {
    Ident,       // identification (command 1, data all 0) before any restart
    Serial,      // serial-number read (command 1, data byte 1 = 3)
    BootEntry,   // bootloader-entry command (command 5)
    Platform,    // read-platform request
    Upid,        // update-ID block request
    Start,       // start-programming request
    Line,        // a 64-byte data line while programming is open
    Finish,      // finish-programming request
    RestartIdent // identification after a finish, until the next bootloader entry
};
constexpr std::size_t ExchangeKindCount = 9;

enum class TFaultType {
    NoAnswer,   // the input is ignored: no answer and no effect
    Short,      // the answer lacks its last byte
    Corrupt,    // one byte (frame) or one digit (line) of the answer is changed: the check fails
    Exception,  // bit 0x20 set in a command answer's status byte, check byte correct
    Echo,       // the echo differs in one data digit, its checksum recomputed (so it is valid)
    StayApp,    // the bootloader-entry command is taken but the application keeps running
    WrongClass, // the identification reports the class plus 1
    Hangup      // no answer; the front end closes the line and ends
};
constexpr std::size_t FaultTypeCount = 8;

// A fault hits the occurrences iFirst .. iFirst + iTimes - 1 (1-based) of its exchange kind,
// counted over the model's life; for Line the data lines received while programming is open.
struct TFault {
    TExchangeKind eKind = TExchangeKind::Ident;
    TFaultType eFault = TFaultType::NoAnswer;
    std::uint32_t iFirst = 1;
    std::uint32_t iTimes = 1;
    bool operator==(const TFault&) const = default;
};

std::string_view ExchangeKindName(TExchangeKind eKind);
std::string_view FaultTypeName(TFaultType eFault);
// Whether the fault can happen on that kind of exchange (an answer must exist to be damaged).
bool FaultApplies(TExchangeKind eKind, TFaultType eFault);

// How the update-ID block's CRC is given: correct, correct plus 1, or the whole block erased
// (every word 0xFFFF).
enum class TUpidCrc { Valid, Wrong, Erased };

// A firmware image as the logger expects to receive it: its version word (high byte versionH,
// low byte versionL) and its HEX lines. Only the 64-byte data records count: nothing else is
// programmed.
struct TLoggerImage {
    std::uint16_t iVersion = 0;
    std::vector<std::string> aLines;
    bool operator==(const TLoggerImage&) const = default;
};

// The logger's hardware and behaviour. The defaults are those of preset entry9.
struct TLoggerConfig {
    std::uint16_t iAppClass = Kelvo::AppClass;
    std::uint16_t iAppVersion = 0x058A; // version word, high byte major: 5.138
    std::uint32_t iSerial = 320000;
    std::uint16_t iBlClass = Kelvo::BootClassBL3;
    std::uint16_t iBlVersion = 0;
    std::uint16_t iPlatform = 12;
    std::uint16_t iPrint = 44;
    std::uint16_t iInfo = 0; // information word of the platform reply
    std::uint16_t iUpidClass = Kelvo::AppClass;
    std::uint16_t iUpidInfo = 0;
    std::optional<std::uint16_t> iUpidPlatform; // empty: the same as iPlatform
    std::optional<std::uint16_t> iUpidPrint;    // empty: the same as iPrint
    std::uint16_t iUpidReserve = 0;
    TUpidCrc eUpidCrc = TUpidCrc::Valid;
    bool bStartInBootloader = false;
    std::optional<std::uint16_t> iClassAfterRestart; // empty: iAppClass
    // The image the logger expects to be programmed with: built-in image 1..9 of the catalogue,
    // or 0 for the one in image (for example a firmware file's).
    std::int32_t iImage = 9;
    TLoggerImage image;
    std::vector<TFault> aFaults;
    bool operator==(const TLoggerConfig&) const = default;
};

// Presets "entry1" .. "entry9": hardware that fits the built-in image of that number, and that
// expects that image.
constexpr int LoggerPresetCount = 9;
std::optional<TLoggerConfig> LoggerPreset(std::string_view sName);

class TLoggerModel {
public:
    enum class TState { Application, Bootloader };

    // Throws std::invalid_argument for a fault that does not apply to its kind, an occurrence or
    // repeat count of 0, or an image number outside 0..9.
    explicit TLoggerModel(TLoggerConfig config);

    // Takes the bytes that arrived from the host; returns the bytes the logger sends back.
    std::vector<std::uint8_t> Receive(const std::uint8_t* pData, std::size_t iCount);
    std::vector<std::uint8_t> Receive(std::string_view sText) {
        return Receive(reinterpret_cast<const std::uint8_t*>(sText.data()), sText.size());
    }
    // The line has been quiet for a while: a partial frame or line is dropped.
    void LineIdle();

    TState State() const { return FeState; }
    bool ProgrammingOpen() const { return FbProgramming; }
    // The version word the application reports: the configured one, then that of the image
    // after a complete transfer.
    std::uint16_t AppVersion() const { return FiAppVersion; }
    // True once a hangup fault has struck; the model answers nothing from then on.
    bool HangupRequested() const { return FbHangup; }
    // True once after each finish request the logger took: it restarts now, and a real logger
    // hears nothing while it does (the front end, which has a clock, keeps that time).
    bool TakeRestart() { return std::exchange(FbRestarting, false); }
    // Exchanges of the kind seen so far (the count that faults are matched against).
    std::uint32_t ExchangeCount(TExchangeKind eKind) const {
        return FaCount[static_cast<std::size_t>(eKind)];
    }
    // The address field at which the update-ID request is answered.
    std::uint16_t UpidAddress() const;
    const TLoggerConfig& Config() const { return FConfig; }

    // The HEX lines the bootloader accepted (requests and data lines), in order, since the start
    // or the last TakeRecord.
    const std::vector<std::string>& Record() const { return FaRecord; }
    std::vector<std::string> TakeRecord();

    // Receives one text per exchange or notable event (for a verbose front end).
    void SetLog(std::function<void(const std::string&)> log) { FLog = std::move(log); }

    // Building blocks, public for front ends and tests.
    static std::array<std::uint8_t, 8> AnswerFrame(std::uint8_t iStatus,
                                                   const std::array<std::uint8_t, 6>& aData);
    // The 64 data bytes of the update-ID block as configured.
    std::array<std::uint8_t, 64> UpidBlock() const;

private:
    struct TLine {
        std::uint16_t iAddress = 0;
        std::uint8_t iType = 0;
        std::vector<std::uint8_t> aData;
    };
    // Programmed 64-byte data lines by address: a line sent again overwrites the one before.
    using TFlash = std::map<std::uint16_t, std::vector<std::uint8_t>>;
    // What a complete transfer of the expected image leaves in the flash.
    struct TExpected {
        std::uint16_t iVersion = 0;
        TFlash flash;
        bool bVectorTable = false; // the image has a vector-table line, which must come last
    };
    static std::shared_ptr<const TExpected> Expect(const TLoggerImage& image);
    static std::shared_ptr<const TExpected> ExpectBuiltIn(std::int32_t iEntry);
    // Why the flash does not hold the expected image; empty when it does.
    std::optional<std::string> FlashFault() const;

    void ReceiveByte(std::uint8_t b, std::vector<std::uint8_t>& aOut);
    void HandleFrame(std::vector<std::uint8_t>& aOut);
    void HandleLine(std::vector<std::uint8_t>& aOut);
    void HandleRequest(const TLine& line, std::vector<std::uint8_t>& aOut);
    static std::optional<TLine> ParseLine(std::string_view sLine);

    // Counts an exchange and returns the fault that hits it, if any.
    std::optional<TFaultType> Exchange(TExchangeKind eKind);
    void SendFrame(std::array<std::uint8_t, 8> aFrame, std::optional<TFaultType> eFault,
                   std::vector<std::uint8_t>& aOut);
    void SendLine(std::string sLine, std::optional<TFaultType> eFault,
                  std::vector<std::uint8_t>& aOut);
    void Log(const std::string& s) const;

    TLoggerConfig FConfig;
    std::shared_ptr<const TExpected> FExpected;
    TState FeState;
    std::uint16_t FiAppVersion;
    TFlash FFlash;                              // what the current programming session wrote
    std::optional<std::uint16_t> FiLastAddress; // the data line written last in it
    bool FbProgramming = false;
    bool FbRestarted = false;
    bool FbRestarting = false;
    bool FbHangup = false;
    std::string FsUnit; // the frame or line being received
    std::size_t FiUnitLength = 0;
    std::array<std::uint32_t, ExchangeKindCount> FaCount{};
    std::vector<std::string> FaRecord;
    std::function<void(const std::string&)> FLog;
};
