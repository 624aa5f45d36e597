#include "FwSlotFixture.h"

#include "firmware/uFWVersions.h"
#include "firmware/uFlash.h"
#include "firmware/uFwFile.h"
#include "hexline/uConvert1V0.h"

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

// What the catalogue promises about each built-in image, written out independently of the
// generator and of the data files.
struct TImageFacts {
    std::int32_t iEntry;
    TBl3FileHeader Header;
    std::int32_t iLines;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> aRuns; // first and last address field
};

// Test names and failure messages show the entry, not the bytes of the record.
void PrintTo(const TImageFacts& facts, std::ostream* os) {
    *os << "entry " << facts.iEntry;
}

TBl3FileHeader Header(std::uint16_t iVerH, std::uint16_t iVerL, std::uint16_t iPlatform,
                      std::uint16_t iPrint, const char* sDate, std::uint16_t iBl,
                      std::uint16_t iBlVer) {
    return {26113, iVerH, iVerL, iPlatform, iPrint, sDate, iBl, iBlVer};
}

std::vector<std::pair<std::uint16_t, std::uint16_t>> Bl3Runs(std::uint16_t iLast) {
    return {{0x0128, 0x0155}, {0x03D8, 0x03D8}, {0x03DF, 0x03DF}, {0x0400, iLast}};
}

const std::vector<TImageFacts>& Facts() {
    static const std::vector<TImageFacts> aFacts = {
        {1,
         Header(3, 20, 0, 0, "18.06.2009 16:27:52", 2, 0),
         524,
         {{0x2500, 0xA700}, {0xF780, 0xF7C0}}},
        {2,
         Header(4, 8, 1, 1, "26.06.2009 14:37:42", 2, 0),
         561,
         {{0x2800, 0xB340}, {0xF780, 0xF7C0}}},
        {3,
         Header(5, 8, 1, 2, "27.01.2010 10:04:04", 2, 0),
         563,
         {{0x2800, 0xB3C0}, {0xF780, 0xF7C0}}},
        {4,
         Header(5, 18, 4, 6, "03.02.2011 19:30:56", 2, 0),
         599,
         {{0x4400, 0xD8C0}, {0xF780, 0xF7C0}}},
        {5, Header(5, 42, 4, 10, "16.11.2012 13:15:56", 2, 1), 721, {{0x4400, 0xF7C0}}},
        {6, Header(5, 126, 12, 18, "12.04.2019 08:56:26", 3, 0), 698, Bl3Runs(0x0688)},
        {7, Header(5, 134, 12, 30, "12.08.2020 08:01:44", 3, 0), 745, Bl3Runs(0x06B7)},
        {8, Header(5, 136, 12, 30, "06.07.2020 13:03:08", 3, 0), 783, Bl3Runs(0x06DD)},
        {9, Header(5, 138, 12, 44, "22.02.2021 11:40:42", 3, 0), 784, Bl3Runs(0x06DE)},
    };
    return aFacts;
}

// Line iLine of a built-in entry, read without touching the selection.
std::string EntryLine(std::int32_t iEntry, std::int32_t iLine) {
    std::string sText;
    std::int32_t iLast = 0;
    TBl3FileHeader header;
    GetFwEntry(iEntry, FwQuery::Line, iLine, sText, iLast, header);
    return sText;
}

std::vector<std::string> EntryLines(std::int32_t iEntry) {
    std::vector<std::string> aLines;
    for (std::int32_t k = 0; k <= GetFwLastIndex(iEntry); ++k)
        aLines.push_back(EntryLine(iEntry, k));
    return aLines;
}

std::string ImageFile(std::int32_t iEntry) {
    return std::string(KELVO_FW_IMAGE_DIR) + "/entry" + std::to_string(iEntry) + ".kfw";
}

} // namespace

class BuiltInImage : public FwSlotFixture, public ::testing::WithParamInterface<TImageFacts> {};

TEST_P(BuiltInImage, EqualsItsDataFileAndTheTabledFacts) {
    const TImageFacts& facts = GetParam();
    const std::int32_t iEntry = facts.iEntry;

    std::string sError;
    ASSERT_TRUE(LoadFwFile(ImageFile(iEntry), &sError)) << sError;
    EXPECT_EQ(GetFwHeader(iEntry), FwFileHeader);
    EXPECT_EQ(EntryLines(iEntry), FwFileLines);

    EXPECT_EQ(GetFwHeader(iEntry), facts.Header);
    ASSERT_EQ(GetFwLastIndex(iEntry), facts.iLines - 1);

    // Every line but the last is a 64-byte data record, its address field walking the runs, each
    // inside one region of the platform's flash as a loaded file must be.
    TFlashLayout layout;
    GetFlashLayout(facts.Header.quarn_platform, layout);
    const std::uint16_t iStep = facts.Header.quarn_bl == 2 ? 0x40 : 1;
    std::vector<std::uint16_t> aAddresses;
    for (const auto& [iFirst, iLast] : facts.aRuns)
        for (std::uint32_t a = iFirst; a <= iLast; a += iStep)
            aAddresses.push_back(static_cast<std::uint16_t>(a));
    ASSERT_EQ(aAddresses.size(), static_cast<std::size_t>(facts.iLines - 1));
    for (std::int32_t k = 0; k < facts.iLines - 1; ++k) {
        sHexLine = EntryLine(iEntry, k);
        ASSERT_EQ(sHexLine.size(), 139u) << "line " << k;
        ASSERT_TRUE(HexLineToRec()) << "line " << k;
        EXPECT_EQ(HexRec.Count, 64);
        EXPECT_EQ(HexRec.RecType, 0);
        ASSERT_EQ(HexRec.Address(), aAddresses[static_cast<std::size_t>(k)]) << "line " << k;
        const std::int64_t iFirst = FwFlashAddress(facts.Header.quarn_bl, HexRec.Address());
        EXPECT_TRUE(IsInsideRegion(layout, iFirst, iFirst + 63)) << "line " << k;
    }
    if (facts.Header.quarn_bl == 3) {
        EXPECT_EQ(EntryLine(iEntry, 47).substr(0, 9), ":4003DF00");
    }
    EXPECT_EQ(EntryLine(iEntry, facts.iLines - 1), ":00000001FF");

    // Past either end of a built-in image there is no line.
    std::string sText;
    std::int32_t iLast = 0;
    TBl3FileHeader header;
    EXPECT_THROW(GetFwEntry(iEntry, FwQuery::Line, facts.iLines, sText, iLast, header),
                 std::out_of_range);
    EXPECT_THROW(GetFwEntry(iEntry, FwQuery::Line, -1, sText, iLast, header), std::out_of_range);
}

INSTANTIATE_TEST_SUITE_P(Entries, BuiltInImage, ::testing::ValuesIn(Facts()), [](const auto& info) {
    return "Entry" + std::to_string(info.param.iEntry);
});

TEST(BuiltInImages, DataBytesDifferInEveryLineOfEveryImage) {
    std::set<std::string> aData;
    std::size_t iDataLines = 0;
    for (std::int32_t iEntry = 1; iEntry <= GetFwCount(); ++iEntry) {
        for (std::int32_t k = 0; k < GetFwLastIndex(iEntry); ++k) {
            aData.insert(EntryLine(iEntry, k).substr(9, 128));
            ++iDataLines;
        }
    }
    EXPECT_EQ(aData.size(), iDataLines);
}

using Catalogue = FwSlotFixture;

TEST_F(Catalogue, SelectedEntryGivesItsLastIndexAndLines) {
    EXPECT_EQ(GetFwCount(), 9);
    EXPECT_EQ(GetFwLastIndex(9), 783);
    iFwIndex = 9;
    EXPECT_EQ(GetSelFwLastIndex(), 783);
    EXPECT_EQ(GetFwLine(783), ":00000001FF");
    EXPECT_EQ(GetFwLine(0).substr(0, 9), ":40012800");

    iFwIndex = 1;
    EXPECT_EQ(GetSelFwLastIndex(), 523);
    EXPECT_EQ(GetFwLine(0).substr(0, 9), ":40250000");
}

TEST_F(Catalogue, FileSlotIsEntryZero) {
    EXPECT_EQ(GetFwLastIndex(0), -1);
    EXPECT_EQ(GetFwHeader(0), TBl3FileHeader{});

    FwFileHeader = {26113, 1, 2, 3, 4, "today", 3, 5};
    FwFileLines = {":A", "", ":00000001FF"};
    iFwIndex = 0;
    EXPECT_EQ(GetFwHeader(0), FwFileHeader);
    EXPECT_EQ(GetSelFwLastIndex(), 2);
    EXPECT_EQ(GetFwLine(1), "");
    EXPECT_EQ(GetFwLine(2), ":00000001FF");
    EXPECT_THROW(GetFwLine(3), std::out_of_range);
    EXPECT_THROW(GetFwLine(-1), std::out_of_range);
}

TEST_F(Catalogue, OutOfRangeEntriesGiveThePresets) {
    EXPECT_EQ(GetFwLastIndex(10), 0);
    EXPECT_EQ(GetFwLastIndex(-1), 0);
    const TBl3FileHeader blank{0xFFFF, 0, 0, 0xFFFF, 0xFFFF, "", 0, 0};
    EXPECT_EQ(GetFwHeader(10), blank);
    EXPECT_EQ(GetFwHeader(-1), blank);

    for (const std::int32_t iSelected : {-1, 10}) {
        iFwIndex = iSelected;
        EXPECT_EQ(GetFwLine(0), "");
        EXPECT_EQ(GetSelFwLastIndex(), 0);
    }
}

TEST_F(Catalogue, GetFwEntryPresetsItsOutputsAndRefusesUnknownQueries) {
    FwFileLines = {":A"};
    for (std::int32_t iEntry = -1; iEntry <= 10; ++iEntry) {
        for (const std::int32_t iQuery : {-1, 0, 1, 2, 3}) {
            std::string sText = "old";
            std::int32_t iLast = 77;
            TBl3FileHeader header{1, 2, 3, 4, 5, "old", 6, 7};
            const bool bValid = iEntry >= 0 && iEntry <= 9 && iQuery >= 0 && iQuery <= 2;
            EXPECT_EQ(GetFwEntry(iEntry, iQuery, 0, sText, iLast, header), bValid)
                << iEntry << "/" << iQuery;
            if (iQuery != FwQuery::Line || !bValid) {
                EXPECT_EQ(sText, "");
            }
            if (iQuery != FwQuery::LastIndex || !bValid) {
                EXPECT_EQ(iLast, 0);
            }
            if (iQuery != FwQuery::Header || !bValid) {
                EXPECT_EQ(header, (TBl3FileHeader{0xFFFF, 2, 3, 0xFFFF, 0xFFFF, "old", 6, 7}));
            }
        }
    }
}

TEST_F(Catalogue, CopiedHeaderIsIndependent) {
    TBl3FileHeader copy = GetFwHeader(9);
    copy.quarn_class = 1;
    copy.quarn_date[0] = 'X';
    EXPECT_EQ(GetFwHeader(9).quarn_class, 26113);
    EXPECT_EQ(GetFwHeader(9).quarn_date, "22.02.2021 11:40:42");

    FwFileHeader.quarn_date = "slot";
    copy = GetFwHeader(0);
    copy.quarn_date += "!";
    EXPECT_EQ(FwFileHeader.quarn_date, "slot");
}
