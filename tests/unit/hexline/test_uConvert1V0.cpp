#include "hexline/uConvert1V0.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

std::uint8_t Crc8Bitwise(std::uint8_t b) {
    std::uint8_t c = b;
    for (int i = 0; i < 8; ++i)
        c = (c & 1) ? static_cast<std::uint8_t>((c >> 1) ^ 0x8C)
                    : static_cast<std::uint8_t>(c >> 1);
    return c;
}

const auto* Bytes(const char* s) {
    return reinterpret_cast<const std::uint8_t*>(s);
}

// Parses s through the program-wide buffer.
bool Parse(const std::string& s) {
    sHexLine = s;
    return HexLineToRec();
}

void SetRec(std::uint8_t iCount, std::uint16_t iAddress, std::uint8_t iType,
            std::initializer_list<std::uint8_t> aData = {}) {
    HexRec = THexRec{};
    HexRec.Count = iCount;
    HexRec.AddrHi = static_cast<std::uint8_t>(iAddress >> 8);
    HexRec.AddrLo = static_cast<std::uint8_t>(iAddress);
    HexRec.RecType = iType;
    std::size_t i = 0;
    for (auto b : aData)
        HexRec.Data[i++] = b;
}

} // namespace

TEST(Checksums, Crc8MaximCheckValueAndTable) {
    EXPECT_EQ(CalcCRC8(Bytes("123456789"), 9), 0xA1);
    EXPECT_EQ(CalcCRC8(Bytes(""), 0), 0);
    const std::uint8_t aZero[7] = {};
    EXPECT_EQ(CalcCRC8(aZero, 7), 0);
    // A single byte from CRC 0 reads the table entry itself: every entry is checked.
    for (int b = 0; b < 256; ++b) {
        const auto v = static_cast<std::uint8_t>(b);
        EXPECT_EQ(CalcCRC8(&v, 1), Crc8Bitwise(v)) << "entry " << b;
    }
}

TEST(Checksums, Crc16Modbus) {
    EXPECT_EQ(CalcCRC16(Bytes("123456789"), 9), 0x4B37);
    EXPECT_EQ(CalcCRC16(Bytes(""), 0), 0xFFFF);
}

TEST(HexDigits, CharToNibbleAcceptsUpperCaseDigitsOnly) {
    const std::string sValid = "0123456789ABCDEF";
    for (std::size_t i = 0; i < sValid.size(); ++i) {
        std::uint8_t n = 0xEE;
        EXPECT_TRUE(HexCharToNibble(sValid[i], n));
        EXPECT_EQ(n, i);
        EXPECT_EQ(NibbleToHexChar(static_cast<std::uint8_t>(i | 0xF0)), sValid[i]);
    }
    for (char c : std::string("abcdefG:/@ \x7F") + '\0') {
        std::uint8_t n = 0xEE;
        EXPECT_FALSE(HexCharToNibble(c, n)) << int(c);
        EXPECT_EQ(n, 0xEE) << "the nibble is left alone";
    }
}

TEST(HexRecToLine, FormatsKnownLines) {
    SetRec(0, 0, 1);
    ASSERT_TRUE(HexRecToLine());
    EXPECT_EQ(sHexLine, ":00000001FF");

    SetRec(1, 0, 5, {0x20});
    ASSERT_TRUE(HexRecToLine());
    EXPECT_EQ(sHexLine, ":0100000520DA");

    SetRec(1, 0x1000, 5, {0x30});
    ASSERT_TRUE(HexRecToLine());
    EXPECT_EQ(sHexLine, ":0110000530BA");

    SetRec(1, 0x0060, 5, {0x30});
    ASSERT_TRUE(HexRecToLine());
    EXPECT_EQ(sHexLine, ":01006005306A");
}

TEST(HexRecToLine, CountLimits) {
    SetRec(64, 0x03DF, 0);
    for (int i = 0; i < 64; ++i)
        HexRec.Data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 7);
    ASSERT_TRUE(HexRecToLine());
    EXPECT_EQ(sHexLine.size(), 139u);
    EXPECT_TRUE(HexLineToRec());

    sHexLine = "junk";
    SetRec(65, 0, 0);
    EXPECT_FALSE(HexRecToLine());
    EXPECT_EQ(sHexLine, ":");
}

TEST(HexLineToRec, ParsesEndOfFileLine) {
    HexRec.Data[0] = 0x55;
    ASSERT_TRUE(Parse(":00000001FF"));
    EXPECT_EQ(HexRec.Count, 0);
    EXPECT_EQ(HexRec.Address(), 0);
    EXPECT_EQ(HexRec.RecType, 1);
    EXPECT_EQ(HexRec.Data[0], 0xFF) << "the checksum sits right after the data";
}

TEST(HexLineToRec, RejectsMalformedLines) {
    const std::string sGood = ":0100000520DA";
    ASSERT_TRUE(Parse(sGood));
    const struct {
        const char* sWhy;
        std::string sLine;
    } aCases[] = {
        {"lower-case digits", ":01000005207a"},
        {"lower-case checksum", ":0110000530ba"},
        {"no leading colon", "00100000520DA"},
        {"another start character", ";0100000520DA"},
        {"ten characters", ":00000001F"},
        {"empty", ""},
        {"one character too many", sGood + "0"},
        {"one character too few", sGood.substr(0, sGood.size() - 1)},
        {"wrong checksum by one", ":0100000520DB"},
        {"count above 64", ":41000000" + std::string(130, '0') + "BF"},
        {"non-hex in the data", ":01000005G0DA"},
        {"space inside", ":01000005 0DA"},
    };
    for (const auto& c : aCases)
        EXPECT_FALSE(Parse(c.sLine)) << c.sWhy;
}

TEST(HexLineToRec, CountAboveLimitIsStoredBeforeRejection) {
    HexRec.Count = 0;
    EXPECT_FALSE(Parse(":41000000" + std::string(130, '0') + "BF"));
    EXPECT_EQ(HexRec.Count, 0x41);
}

TEST(HexLine, RandomRecordsRoundTrip) {
    std::mt19937 rng(4711);
    for (int iRun = 0; iRun < 500; ++iRun) {
        THexRec rec{};
        rec.Count = static_cast<std::uint8_t>(rng() % 65);
        rec.AddrHi = static_cast<std::uint8_t>(rng());
        rec.AddrLo = static_cast<std::uint8_t>(rng());
        rec.RecType = static_cast<std::uint8_t>(rng());
        for (int i = 0; i < rec.Count; ++i)
            rec.Data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(rng());
        HexRec = rec;
        ASSERT_TRUE(HexRecToLine());
        const std::string sLine = sHexLine;
        ASSERT_EQ(sLine.size(), 2u * rec.Count + 11u);
        EXPECT_EQ(HexTextChecksum(sLine.c_str() + 1, rec.Count + 5), 0);
        HexRec = THexRec{};
        ASSERT_TRUE(HexLineToRec()) << sLine;
        EXPECT_EQ(HexRec.Count, rec.Count);
        EXPECT_EQ(HexRec.Address(), rec.Address());
        EXPECT_EQ(HexRec.RecType, rec.RecType);
        EXPECT_EQ(0, std::memcmp(HexRec.Data.data(), rec.Data.data(), rec.Count));
        ASSERT_TRUE(HexRecToLine());
        EXPECT_EQ(sHexLine, sLine);
    }
}

TEST(HexTextChecksum, ValidTextSumsToZeroAndJunkNeverDoes) {
    EXPECT_EQ(HexTextChecksum("00000001FF", 5), 0);
    EXPECT_EQ(HexTextChecksum("0100000520DA", 6), 0);
    EXPECT_EQ(HexTextChecksum("0100000520", 5), 0xDA);
    EXPECT_EQ(HexTextChecksum("FF", 0), 0);
    EXPECT_EQ(HexTextChecksum("FF", -3), 0);
    // A character that is not an upper-case digit, at any place, must not yield a valid sum, even
    // where treating it as some digit would.
    const std::string sLine = "0100000520DA";
    for (std::size_t i = 0; i < sLine.size(); ++i) {
        for (char c : {'a', 'd', 'x', ' ', '\0', ':'}) {
            std::string s = sLine;
            s[i] = c;
            EXPECT_NE(HexTextChecksum(s.data(), 6), 0) << "position " << i << " char " << int(c);
        }
    }
}

TEST(ByteAssembly, MakeWordAndMakeSerial) {
    EXPECT_EQ(MakeWord(0x66, 0x01), 26113);
    EXPECT_EQ(MakeWord(0xC8, 0x02), 51202);
    EXPECT_EQ(MakeWord(0xFF, 0xFF), 0xFFFF);
    EXPECT_EQ(MakeSerial(0x00, 0x05, 0x01, 0xAC), 328108u);
    EXPECT_EQ(MakeSerial(0xFF, 0xFF, 0xFF, 0xFF), 0xFFFFFFFFu);
    EXPECT_EQ(MakeSerial(0x12, 0x34, 0x56, 0x78), 0x12345678u);
}

TEST(ParseHexLine, NamesWhatIsWrongWithALine) {
    const std::string sGood = ":0100000520DA";
    const std::string sFull = ":40" + std::string(134, '0') + "C0"; // 64 zero bytes at 0000
    using E = THexLineError;
    const struct {
        const char* sWhy;
        std::string sLine;
        E eError;
    } aCases[] = {
        {"a good request", sGood, E::None},
        {"64 data bytes", sFull, E::None},
        {"empty", "", E::NotALine},
        {"ten characters", ":00000001F", E::NotALine},
        {"no leading colon", "00100000520DA", E::NotALine},
        {"count not hex", ":G100000520DA", E::BadCount},
        {"lower-case count", ":0a000005" + std::string(20, '0') + "00", E::BadCount},
        {"count above 64", ":41000000" + std::string(130, '0') + "BF", E::BadCount},
        {"odd length: a digit too many", sGood + "0", E::WrongLength},
        {"even length: a digit too few", sGood.substr(0, sGood.size() - 1), E::WrongLength},
        {"count says two bytes, one given", ":0200000520DA", E::WrongLength},
        {"non-hex in the data", ":01000005G0DA", E::NotHexDigit},
        {"lower-case checksum", ":0110000530ba", E::NotHexDigit},
        {"space in the address", ":01 0000520DA", E::NotHexDigit},
        {"checksum off by one", ":0100000520DB", E::WrongChecksum},
        {"data changed, checksum kept", ":0100000521DA", E::WrongChecksum},
    };
    for (const auto& c : aCases) {
        const THexLineResult r = ParseHexLine(c.sLine);
        EXPECT_EQ(r.eError, c.eError) << c.sWhy;
        EXPECT_EQ(r.Ok(), c.eError == E::None) << c.sWhy;
        // The wrapper over the program-wide buffer gives the same verdict.
        EXPECT_EQ(Parse(c.sLine), r.Ok()) << c.sWhy;
    }
    const THexLineResult r = ParseHexLine(":0110000530BA");
    EXPECT_EQ(r.rec.Count, 1);
    EXPECT_EQ(r.rec.Address(), 0x1000);
    EXPECT_EQ(r.rec.RecType, 5);
    EXPECT_EQ(r.rec.Data[0], 0x30);
    EXPECT_EQ(r.rec.Data[1], 0xBA) << "the checksum sits right after the data";
}

TEST(FormatHexLine, FormatsRecordsAndRefusesLongOnes) {
    const std::uint8_t iCode = 0x30;
    EXPECT_EQ(FormatHexLine(MakeHexRec(0x0060, 5, &iCode, 1)), ":01006005306A");
    EXPECT_EQ(FormatHexLine(MakeHexRec(0, 1, nullptr, 0)), ":00000001FF");
    const std::array<std::uint8_t, 65> aData{};
    EXPECT_TRUE(FormatHexLine(MakeHexRec(0x03DF, 0, aData.data(), 64)));
    EXPECT_FALSE(FormatHexLine(MakeHexRec(0x03DF, 0, aData.data(), 65)));
}

TEST(FitHexChecksum, RewritesOnlyTheLastPairOfALine) {
    EXPECT_EQ(FitHexChecksum(":0100000521DA"), ":0100000521D9");
    EXPECT_EQ(FitHexChecksum(":00000001FF"), ":00000001FF");
    EXPECT_EQ(FitHexChecksum(":0000000"), ":0000000") << "even length: not digit pairs";
    EXPECT_EQ(FitHexChecksum(":01000005G0DA"), ":01000005G0DA");
    EXPECT_EQ(FitHexChecksum("x"), "x");
}

TEST(HexDigits, BytesAsDigitPairs) {
    std::uint8_t b = 0x11;
    EXPECT_TRUE(HexPairToByte('C', '8', b));
    EXPECT_EQ(b, 0xC8);
    EXPECT_FALSE(HexPairToByte('c', '8', b));
    EXPECT_FALSE(HexPairToByte('8', 'G', b));
    EXPECT_EQ(b, 0xC8) << "the byte is left alone";
    EXPECT_EQ(ByteToHex(0x0A), "0A");
    const std::uint8_t aBytes[] = {0x66, 0x01, 0xC8};
    EXPECT_EQ(HexBytes(aBytes, 3), "66 01 C8");
    EXPECT_EQ(HexBytes(aBytes, 1), "66");
    EXPECT_EQ(HexBytes(aBytes, 0), "");
}
