// What a Kelvo logger and its updater say to each other: classes, command frames, the bootloader's
// request lines and where the update-ID block is asked for. The updater and the simulated logger
// both take their codes from here.
#pragma once

#include <cstdint>

namespace Kelvo {

// Classes that an identification reports.
constexpr std::uint16_t AppClass = 26113;        // a logger running its application firmware
constexpr std::uint16_t BootClassBL = 51200;     // bootloader "BL": start and finish only
constexpr std::uint16_t BootClassBL2 = 51201;    // bootloader "BL2"
constexpr std::uint16_t BootClassBL3 = 51202;    // bootloader "BL3": block addresses
constexpr std::uint16_t PinnedAppVersion = 1416; // application 5.136

// A class that an identification reports while the bootloader runs.
constexpr bool IsBootloaderClass(std::uint16_t iClass) {
    return iClass == BootClassBL || iClass == BootClassBL2 || iClass == BootClassBL3;
}

// Command frames (the application's): the command, then six data bytes.
constexpr std::uint8_t CmdIdentify = 1;    // all data 0: class and version
constexpr std::uint8_t CmdBootloader = 5;  // with BootEntryArg and the key: enter the bootloader
constexpr std::uint8_t IdentSerialArg = 3; // first data byte of CmdIdentify: the serial number
constexpr std::uint8_t BootEntryArg = 3;   // first data byte of CmdBootloader
constexpr std::uint8_t BootKeyHi = 0xA5;   // second and third data bytes of CmdBootloader
constexpr std::uint8_t BootKeyLo = 0x5A;

// Bootloader request lines: record type RecTypeRequest with one data byte, the request code.
// Bootloader "BL" knows only start and finish, at codes less ReqOffsetBL.
constexpr std::uint8_t RecTypeData = 0;
constexpr std::uint8_t RecTypeRequest = 5;
constexpr std::uint8_t ReqReadPlatform = 0x20; // reply: platform, print, info word (6 bytes)
constexpr std::uint8_t ReqReadUpdateId = 0x30; // reply: the update-ID block (64 bytes)
constexpr std::uint8_t ReqStart = 0x31;        // reply: the request's echo
constexpr std::uint8_t ReqFinish = 0x33;       // no reply: the logger restarts
constexpr std::uint8_t ReqOffsetBL = 0x20;

// Bytes of a programmed data line, and so of a flash block of bootloader "BL3".
constexpr std::uint8_t DataBytesPerLine = 64;

// The address field of the update-ID request: the first byte of flash region 0, which bootloader
// "BL3" takes as a block number.
constexpr std::uint16_t UpdateIdAddress(std::uint16_t iBootClass, std::int32_t iRegionFirst) {
    return static_cast<std::uint16_t>(iBootClass == BootClassBL3 ? iRegionFirst / DataBytesPerLine
                                                                 : iRegionFirst);
}

} // namespace Kelvo
