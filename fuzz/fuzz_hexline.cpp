// The HEX line codec on arbitrary text: a line that parses formats back to the same text, a record
// formats to a line that parses back to it, the checksum over text stays inside its pairs, and the
// wrappers over the program-wide buffer agree with the pure functions.
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
    const THexLineResult parsed = ParseHexLine(sText);
    sHexLine = sText;
    Check(HexLineToRec() == parsed.Ok());
    if (!parsed.Ok())
        return;
    const THexRec& rec = parsed.rec;
    Check(rec.Count <= 64 && iSize == 2u * rec.Count + 11u);
    Check(HexTextChecksum(pText + 1, rec.Count + 5) == 0);
    Check(FormatHexLine(rec) == sText);
    Check(FitHexChecksum(sText) == sText);
}

// A text of digit pairs gets a checksum that holds; any other text stays as it is.
void FittedChecksum(const char* pText, std::size_t iSize) {
    const std::string sText(pText, iSize);
    const std::string sFitted = FitHexChecksum(sText);
    Check(sFitted.size() == sText.size());
    const bool bPairs =
        iSize >= 3 && iSize % 2 == 1 && std::all_of(pText + 1, pText + iSize, IsUpperHex);
    if (!bPairs) {
        Check(sFitted == sText);
        return;
    }
    Check(sFitted.compare(0, iSize - 2, sText, 0, iSize - 2) == 0);
    Check(HexTextChecksum(sFitted.data() + 1, static_cast<std::int32_t>(iSize / 2)) == 0);
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
    const auto sLine = FormatHexLine(rec);
    Check(sLine.has_value() == (rec.Count <= 64));
    HexRec = rec;
    Check(HexRecToLine() == sLine.has_value() && sHexLine == sLine.value_or(":"));
    if (!sLine)
        return;
    Check(sLine->size() == 2u * rec.Count + 11u);
    const THexLineResult parsed = ParseHexLine(*sLine);
    Check(parsed.Ok());
    const THexRec& back = parsed.rec;
    Check(back.Count == rec.Count && back.Address() == rec.Address() &&
          back.RecType == rec.RecType &&
          std::equal(rec.Data.begin(), rec.Data.begin() + rec.Count, back.Data.begin()));
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
    FittedChecksum(pText, iSize);
    return 0;
}
