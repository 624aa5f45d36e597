#include "hexline/uConvert1V0.h"

#include <algorithm>

std::string sHexLine;
THexRec HexRec;

namespace {

// CRC-8/MAXIM: polynomial 0x31 processed reflected (0x8C), initial value 0.
constexpr std::array<std::uint8_t, 256> Crc8Table = {
    0x00, 0x5E, 0xBC, 0xE2, 0x61, 0x3F, 0xDD, 0x83, 0xC2, 0x9C, 0x7E, 0x20, 0xA3, 0xFD, 0x1F, 0x41,
    0x9D, 0xC3, 0x21, 0x7F, 0xFC, 0xA2, 0x40, 0x1E, 0x5F, 0x01, 0xE3, 0xBD, 0x3E, 0x60, 0x82, 0xDC,
    0x23, 0x7D, 0x9F, 0xC1, 0x42, 0x1C, 0xFE, 0xA0, 0xE1, 0xBF, 0x5D, 0x03, 0x80, 0xDE, 0x3C, 0x62,
    0xBE, 0xE0, 0x02, 0x5C, 0xDF, 0x81, 0x63, 0x3D, 0x7C, 0x22, 0xC0, 0x9E, 0x1D, 0x43, 0xA1, 0xFF,
    0x46, 0x18, 0xFA, 0xA4, 0x27, 0x79, 0x9B, 0xC5, 0x84, 0xDA, 0x38, 0x66, 0xE5, 0xBB, 0x59, 0x07,
    0xDB, 0x85, 0x67, 0x39, 0xBA, 0xE4, 0x06, 0x58, 0x19, 0x47, 0xA5, 0xFB, 0x78, 0x26, 0xC4, 0x9A,
    0x65, 0x3B, 0xD9, 0x87, 0x04, 0x5A, 0xB8, 0xE6, 0xA7, 0xF9, 0x1B, 0x45, 0xC6, 0x98, 0x7A, 0x24,
    0xF8, 0xA6, 0x44, 0x1A, 0x99, 0xC7, 0x25, 0x7B, 0x3A, 0x64, 0x86, 0xD8, 0x5B, 0x05, 0xE7, 0xB9,
    0x8C, 0xD2, 0x30, 0x6E, 0xED, 0xB3, 0x51, 0x0F, 0x4E, 0x10, 0xF2, 0xAC, 0x2F, 0x71, 0x93, 0xCD,
    0x11, 0x4F, 0xAD, 0xF3, 0x70, 0x2E, 0xCC, 0x92, 0xD3, 0x8D, 0x6F, 0x31, 0xB2, 0xEC, 0x0E, 0x50,
    0xAF, 0xF1, 0x13, 0x4D, 0xCE, 0x90, 0x72, 0x2C, 0x6D, 0x33, 0xD1, 0x8F, 0x0C, 0x52, 0xB0, 0xEE,
    0x32, 0x6C, 0x8E, 0xD0, 0x53, 0x0D, 0xEF, 0xB1, 0xF0, 0xAE, 0x4C, 0x12, 0x91, 0xCF, 0x2D, 0x73,
    0xCA, 0x94, 0x76, 0x28, 0xAB, 0xF5, 0x17, 0x49, 0x08, 0x56, 0xB4, 0xEA, 0x69, 0x37, 0xD5, 0x8B,
    0x57, 0x09, 0xEB, 0xB5, 0x36, 0x68, 0x8A, 0xD4, 0x95, 0xCB, 0x29, 0x77, 0xF4, 0xAA, 0x48, 0x16,
    0xE9, 0xB7, 0x55, 0x0B, 0x88, 0xD6, 0x34, 0x6A, 0x2B, 0x75, 0x97, 0xC9, 0x4A, 0x14, 0xF6, 0xA8,
    0x74, 0x2A, 0xC8, 0x96, 0x15, 0x4B, 0xA9, 0xF7, 0xB6, 0xE8, 0x0A, 0x54, 0xD7, 0x89, 0x6B, 0x35,
};

} // namespace

std::uint8_t CalcCRC8(const std::uint8_t* pData, std::uint16_t iCount) {
    std::uint8_t iCrc = 0;
    for (std::uint16_t i = 0; i < iCount; ++i)
        iCrc = Crc8Table[iCrc ^ pData[i]];
    return iCrc;
}

std::uint16_t CalcCRC16(const std::uint8_t* pData, std::uint16_t iCount) {
    std::uint16_t iCrc = 0xFFFF;
    for (std::uint16_t i = 0; i < iCount; ++i) {
        iCrc ^= pData[i];
        for (int iBit = 0; iBit < 8; ++iBit)
            iCrc = (iCrc & 1) ? static_cast<std::uint16_t>((iCrc >> 1) ^ 0xA001) : (iCrc >> 1);
    }
    return iCrc;
}

bool HexCharToNibble(char c, std::uint8_t& iNibble) {
    if (c >= '0' && c <= '9') {
        iNibble = static_cast<std::uint8_t>(c - '0');
        return true;
    }
    if (c >= 'A' && c <= 'F') {
        iNibble = static_cast<std::uint8_t>(c - 'A' + 10);
        return true;
    }
    return false;
}

char NibbleToHexChar(std::uint8_t iNibble) {
    return "0123456789ABCDEF"[iNibble & 0x0F];
}

bool HexPairToByte(char cHi, char cLo, std::uint8_t& iByte) {
    std::uint8_t iHi = 0;
    std::uint8_t iLo = 0;
    if (!HexCharToNibble(cHi, iHi) || !HexCharToNibble(cLo, iLo))
        return false;
    iByte = static_cast<std::uint8_t>(iHi << 4 | iLo);
    return true;
}

std::string ByteToHex(std::uint8_t iByte) {
    return {NibbleToHexChar(static_cast<std::uint8_t>(iByte >> 4)), NibbleToHexChar(iByte)};
}

std::string HexBytes(const std::uint8_t* pData, std::size_t iCount) {
    std::string s;
    for (std::size_t i = 0; i < iCount; ++i) {
        if (i > 0)
            s += ' ';
        s += ByteToHex(pData[i]);
    }
    return s;
}

THexRec MakeHexRec(std::uint16_t iAddress, std::uint8_t iType, const std::uint8_t* pData,
                   std::uint8_t iCount) {
    THexRec rec;
    rec.Count = iCount;
    rec.AddrHi = static_cast<std::uint8_t>(iAddress >> 8);
    rec.AddrLo = static_cast<std::uint8_t>(iAddress & 0xFF);
    rec.RecType = iType;
    std::copy(pData, pData + iCount, rec.Data.begin());
    return rec;
}

THexLineResult ParseHexLine(std::string_view sLine) {
    THexLineResult r;
    THexRec& rec = r.rec;
    if (sLine.size() < 11 || sLine[0] != ':') {
        r.eError = THexLineError::NotALine;
        return r;
    }
    if (!HexPairToByte(sLine[1], sLine[2], rec.Count) || rec.Count > 64) {
        r.eError = THexLineError::BadCount;
        return r;
    }
    if (sLine.size() != 2u * rec.Count + 11u) {
        r.eError = THexLineError::WrongLength;
        return r;
    }
    // Address, type, data and the checksum, which lands right after the data.
    std::uint8_t iSum = rec.Count;
    for (int k = 1; k <= rec.Count + 4; ++k) {
        std::uint8_t& b = rec.Byte(k);
        const std::size_t i = 2u * static_cast<std::size_t>(k) + 1u;
        if (!HexPairToByte(sLine[i], sLine[i + 1], b)) {
            r.eError = THexLineError::NotHexDigit;
            return r;
        }
        iSum = static_cast<std::uint8_t>(iSum + b);
    }
    if (iSum != 0)
        r.eError = THexLineError::WrongChecksum;
    return r;
}

std::optional<std::string> FormatHexLine(const THexRec& rec) {
    if (rec.Count > 64)
        return std::nullopt;
    std::string s;
    s.reserve(2u * rec.Count + 11u);
    s += ':';
    std::uint8_t iSum = 0;
    for (int k = 0; k < rec.Count + 4; ++k) {
        const std::uint8_t b = rec.Byte(k);
        iSum = static_cast<std::uint8_t>(iSum + b);
        s += ByteToHex(b);
    }
    s += ByteToHex(static_cast<std::uint8_t>(0x100 - iSum));
    return s;
}

std::string FitHexChecksum(std::string_view sLine) {
    std::string s(sLine);
    const bool bDigitPairs =
        s.size() >= 3 && s.size() % 2 == 1 && std::all_of(s.begin() + 1, s.end(), [](char c) {
            std::uint8_t iNibble = 0;
            return HexCharToNibble(c, iNibble);
        });
    if (!bDigitPairs)
        return s;
    const auto iPairs = static_cast<std::int32_t>((s.size() - 3) / 2);
    const std::string sCheck = ByteToHex(HexTextChecksum(s.data() + 1, iPairs));
    s.replace(s.size() - 2, 2, sCheck);
    return s;
}

bool HexRecToLine() {
    const auto sLine = FormatHexLine(HexRec);
    sHexLine = sLine ? *sLine : ":";
    return sLine.has_value();
}

bool HexLineToRec() {
    const THexLineResult r = ParseHexLine(sHexLine);
    HexRec = r.rec;
    return r.Ok();
}

std::uint8_t HexTextChecksum(const char* pText, std::int32_t iPairs) {
    std::uint8_t iSum = 0;
    for (std::int32_t i = 0; i < iPairs; ++i) {
        std::uint8_t iHi = 0;
        std::uint8_t iLo = 0;
        // A character that is not a hex digit can never belong to a valid reply: report a
        // checksum that cannot pass.
        if (!HexCharToNibble(pText[2 * i], iHi) || !HexCharToNibble(pText[2 * i + 1], iLo))
            return 0xFF;
        iSum = static_cast<std::uint8_t>(iSum + (iHi * 16 + iLo));
    }
    return static_cast<std::uint8_t>(0x100 - iSum);
}
