// The HEX line codec on arbitrary text: a line that parses formats back to the same text, a record
// formats to a line that parses back to it, and the checksum over text stays inside its pairs.
#include "hexline/uConvert1V0.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool IsUpperHex(char c) {
    std::uint8_t iNibble = 0;
    return HexCharToNibble(c, iNibble);
}

void Check(bool b) {
    if (!b)
        std::abort();
}

// Text to record and back.
void LineRoundTrip(const char* pText, std::size_t iSize) {
    const std::string sText(pText, iSize);
    sHexLine = sText;
    if (!HexLineToRec())
        return;
    Check(HexRec.Count <= 64 && iSize == 2u * HexRec.Count + 11u);
    Check(HexTextChecksum(pText + 1, HexRec.Count + 5) == 0);
    Check(HexRecToLine());
    Check(sHexLine == sText);
}

// Record to text and back: the first bytes give count, address, type and data.
void RecordRoundTrip(const std::uint8_t* pData, std::size_t iSize) {
    if (iSize < 4)
        return;
    THexRec rec;
    rec.Count = pData[0];
    rec.AddrHi = pData[1];
    rec.AddrLo = pData[2];
    rec.RecType = pData[3];
    std::copy_n(pData + 4, std::min<std::size_t>(iSize - 4, rec.Data.size()), rec.Data.begin());
    HexRec = rec;
    const bool bFormatted = HexRecToLine();
    Check(bFormatted == (rec.Count <= 64));
    if (!bFormatted) {
        Check(sHexLine == ":");
        return;
    }
    Check(sHexLine.size() == 2u * rec.Count + 11u);
    HexRec = THexRec{};
    Check(HexLineToRec());
    Check(HexRec.Count == rec.Count && HexRec.Address() == rec.Address() &&
          HexRec.RecType == rec.RecType &&
          std::equal(rec.Data.begin(), rec.Data.begin() + rec.Count, HexRec.Data.begin()));
}

// The checksum reads exactly the pairs it is given (the fuzzer's buffer has no slack, so ASan
// sees any read past them) and never passes text with a character that is not a digit.
void TextChecksum(const char* pText, std::size_t iSize) {
    const auto iPairs = static_cast<std::int32_t>(iSize / 2);
    const std::uint8_t iSum = HexTextChecksum(pText, iPairs);
    const bool bAllDigits = std::all_of(pText, pText + 2 * iPairs, IsUpperHex);
    if (!bAllDigits)
        Check(iSum != 0);
    Check(HexTextChecksum(pText, 0) == 0);
    Check(HexTextChecksum(pText, -iPairs - 1) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t iSize) {
    const auto* pText = reinterpret_cast<const char*>(pData);
    LineRoundTrip(pText, iSize);
    RecordRoundTrip(pData, iSize);
    TextChecksum(pText, iSize);
    return 0;
}
