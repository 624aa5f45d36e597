// Checksums, the Intel HEX line codec and the program-wide line buffer.
//
// A line is ':' followed by upper-case hex digit pairs: count, address high, address low, record
// type, count data bytes, checksum. Count is at most 64 and no line terminator belongs to a line.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// Decoded line. Record byte k (0 = count, 1/2 = address, 3 = type, 4.. = data) is Byte(k); the
// checksum read by HexLineToRec sits right after the last data byte, at Data[Count].
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

// Formats HexRec into sHexLine (which is ":" alone when the count is above 64 and false results).
bool HexRecToLine();
// Parses and verifies sHexLine into HexRec; false for any malformed line or a wrong checksum.
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
