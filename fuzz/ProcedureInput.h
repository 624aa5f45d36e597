// The input format of fuzz_procedure, shared with the program that writes its seeds.
//
//   byte 0   options: the bits below
//   byte 1   the built-in image copied into the file slot (1 + value % 9), with FileSlot
//   byte 2   the read at which a trouble strikes (1-based; 0 for none)
//   byte 3   the trouble, value % TroubleCount
//   then     one chunk per write of the updater: a length byte and that many answer bytes, or
//            EchoChunk alone for an answer that repeats what was written. Past the end of the
//            input every write meets silence.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ProcedureInput {
constexpr std::size_t HeaderSize = 4;

constexpr std::uint8_t NoClassCheck = 0x01;
constexpr std::uint8_t NoFamilyCheck = 0x02;
constexpr std::uint8_t NoPlatformCheck = 0x04;
constexpr std::uint8_t ReadInfoOnly = 0x08;
constexpr std::uint8_t FileSlot = 0x10;

enum TTrouble : std::uint8_t {
    Cancel,
    FailClearErrors,
    FailPurge,
    FailWrite,
    FailRead,
    ShortWrite,
    TroubleCount
};

constexpr std::uint8_t EchoChunk = 0xFF;
} // namespace ProcedureInput
