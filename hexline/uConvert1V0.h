// Checksums, the Intel HEX line codec and the program-wide line buffer.
//
// A line is ':' followed by upper-case hex digit pairs: count, address high, address low, record
// type, count data bytes, checksum. Count is at most 64 and no line terminator belongs to a line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Decoded line. Record byte k (0 = count, 1/2 = address, 3 = type, 4.. = data) is Byte(k); the
// checksum read by ParseHexLine sits right after the last data byte, at Data[Count].
struct THexRec {
    std::uint8_t Count = 0;
    std::uint8_t AddrHi = 0;
    std::uint8_t AddrLo = 0;
    std::uint8_t RecType = 0;
    std::array<std::uint8_t, 256> Data{};

    std::uint8_t& Byte(int k) {
        switch (k) {
        case 0:
            return Count;
        case 1:
            return AddrHi;
        case 2:
            return AddrLo;
        case 3:
            return RecType;
        default:
            return Data.at(static_cast<std::size_t>(k - 4));
        }
    }
    std::uint8_t Byte(int k) const { return const_cast<THexRec*>(this)->Byte(k); }
    std::uint16_t Address() const { return static_cast<std::uint16_t>(AddrHi << 8 | AddrLo); }
};

// The current line as text and as record. Only the worker of the one running update uses them.
extern std::string sHexLine;
extern THexRec HexRec;

// CRC-8/MAXIM (Dallas 1-Wire) of the first iCount bytes; 0 for no bytes.
std::uint8_t CalcCRC8(const std::uint8_t* pData, std::uint16_t iCount);
// CRC-16/MODBUS of the first iCount bytes; 0xFFFF for no bytes.
std::uint16_t CalcCRC16(const std::uint8_t* pData, std::uint16_t iCount);

// '0'-'9' and 'A'-'F' only; iNibble is written only when the result is true.
bool HexCharToNibble(char c, std::uint8_t& iNibble);
// The upper-case digit of the low four bits.
char NibbleToHexChar(std::uint8_t iNibble);
// The byte of two upper-case digits; iByte is written only when the result is true.
bool HexPairToByte(char cHi, char cLo, std::uint8_t& iByte);
// A byte as two upper-case digits.
std::string ByteToHex(std::uint8_t iByte);
// Bytes as upper-case digit pairs with a space between them: "66 01 C8".
std::string HexBytes(const std::uint8_t* pData, std::size_t iCount);

// A record of iCount data bytes from pData (iCount is at most 255; a line takes 64 at most).
THexRec MakeHexRec(std::uint16_t iAddress, std::uint8_t iType, const std::uint8_t* pData,
                   std::uint8_t iCount);

// Why a text is not a valid line, in the order the checks are made.
enum class THexLineError {
    None,
    NotALine,     // shorter than 11 characters, or no ':' in front
    BadCount,     // the count is not two digits, or is above 64
    WrongLength,  // the text is not 2 * count + 11 characters long
    NotHexDigit,  // a character of the record that is not an upper-case digit
    WrongChecksum // the bytes do not sum to 0
};

struct THexLineResult {
    // What was read up to the error: the whole record, with the checksum at Data[Count], only
    // without one.
    THexRec rec;
    THexLineError eError = THexLineError::None;
    bool Ok() const { return eError == THexLineError::None; }
};

// The record of a line, or why the line is none.
THexLineResult ParseHexLine(std::string_view sLine);
// The line of a record: ':', count, address, type, data and checksum; none when the count is
// above 64.
std::optional<std::string> FormatHexLine(const THexRec& rec);
// The line with its last two digits rewritten so that its checksum holds; a line whose other
// characters are not digit pairs comes back as it is.
std::string FitHexChecksum(std::string_view sLine);

// FormatHexLine from HexRec into sHexLine (which is ":" alone when the count is above 64 and false
// results).
bool HexRecToLine();
// ParseHexLine from sHexLine into HexRec, which holds what was read even on failure; false for
// any malformed line or a wrong checksum.
bool HexLineToRec();

// Two's complement of the 8-bit sum of iPairs hex digit pairs at pText; 0 for iPairs <= 0. Text
// that is not upper-case hex digits gives a non-zero result, so it never passes as a valid line.
std::uint8_t HexTextChecksum(const char* pText, std::int32_t iPairs);

constexpr std::uint16_t MakeWord(std::uint8_t iHi, std::uint8_t iLo) {
    return static_cast<std::uint16_t>(iHi * 256 + iLo);
}
constexpr std::uint32_t MakeSerial(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                                   std::uint8_t b4) {
    return static_cast<std::uint32_t>(MakeWord(b1, b2)) * 65536u + MakeWord(b3, b4);
}
