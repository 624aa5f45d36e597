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
