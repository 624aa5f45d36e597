// The input format of fuzz_procedure, shared with the program that writes its seeds.
//
//   byte 0   options: the bits below
//   byte 1   the built-in image whose shortened copy goes into the file slot (1 + value % 9),
//            with FileSlot
//   byte 2   the read at which a trouble strikes (1-based; 0 for none)
//   byte 3   the trouble, value % TroubleCount
//   then     one chunk per write of the updater: a length byte and that many answer bytes, or
//            EchoChunk alone for an answer that repeats what was written. Past the end of the
//            input, and after the first 64 writes, every write meets silence.
#pragma once

#include "device/uKelvoCommThread.h"
#include "firmware/uFWVersions.h"
#include "hexline/uConvert1V0.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ProcedureInput {

// The update procedure run on the caller's thread, without its waits.
class TNoWaitKelvo final : public TKelvoCommThread {
public:
    using TKelvoCommThread::TKelvoCommThread;
    void Run() { Execute(); }

protected:
    void Sleep(std::int32_t) override {}
};

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
constexpr int MaxAnsweredWrites = 64;

// Puts built-in image iEntry (1-9), shortened to a file of a few lines, into the file slot and
// selects the slot: its header, its first three lines, the vector table line, every line that is
// not a 64-byte data record, and the end line.
inline void FillFileSlot(std::int32_t iEntry) {
    struct TImageCopy {
        TBl3FileHeader header;
        std::vector<std::string> aLines;
    };
    static const auto aCopies = [] {
        std::array<TImageCopy, 9> a;
        for (std::int32_t i = 1; i <= 9; ++i) {
            TImageCopy& copy = a[static_cast<std::size_t>(i - 1)];
            copy.header = GetFwHeader(i);
            iFwIndex = i;
            const std::int32_t iLast = GetSelFwLastIndex();
            for (std::int32_t k = 0; k <= iLast; ++k) {
                const std::string sLine = GetFwLine(k);
                const THexLineResult parsed = ParseHexLine(sLine);
                const THexRec& rec = parsed.rec;
                if (k < 3 || k == iLast || !parsed.Ok() || rec.Count != 64 || rec.RecType != 0 ||
                    rec.Address() == FwVectorTableAddress)
                    copy.aLines.push_back(sLine);
            }
        }
        return a;
    }();
    const TImageCopy& copy = aCopies[static_cast<std::size_t>(iEntry - 1)];
    FwFileHeader = copy.header;
    FwFileLines = copy.aLines;
    iFwIndex = 0;
}
} // namespace ProcedureInput
