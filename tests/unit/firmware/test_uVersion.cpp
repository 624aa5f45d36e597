#include "firmware/uFlash.h"
#include "firmware/uVersion.h"

#include <gtest/gtest.h>

#include <set>

TEST(Designations, ChecksKeepKnownCodesAndRefuseOthers) {
    const struct {
        std::uint16_t (*check)(std::uint16_t);
        std::uint16_t iCode;
        std::uint16_t iExpected;
    } aCases[] = {
        {CheckClass, 26125, 0xFFFF},
        {CheckClass, 51202, 51202},
        {CheckClass, 26000, 26000},
        {CheckClass, 26113, 26113},
        {CheckClass, 26158, 26158},
        {CheckClass, 26159, 0xFFFF},
        {CheckClass, 26135, 26135},
        {CheckClass, 26145, 26145},
        {CheckClass, 0xFFFF, 0xFFFF},
        {CheckClass, 51203, 0xFFFF},
        {CheckPlatform, 65534, 65534},
        {CheckPlatform, 22, 0xFFFF},
        {CheckPlatform, 0, 0},
        {CheckPlatform, 20, 20},
        {CheckPlatform, 0xFFFF, 0xFFFF},
        {CheckPrint, 41, 0xFFFF},
        {CheckPrint, 42, 0xFFFF},
        {CheckPrint, 44, 44},
        {CheckPrint, 45, 0xFFFF},
        {CheckPrint, 0, 0},
        {CheckPrint, 40, 40},
        {CheckPrint, 0xFFFF, 0xFFFF},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(c.check(c.iCode), c.iExpected) << c.iCode;
}

TEST(Designations, NamesFromTheTablesAndQuestionMarkForTheRest) {
    EXPECT_EQ(GetClassName(26000, 0xFFFF), "Prototype");
    EXPECT_EQ(GetClassName(26122, 0xFFFF), "SD CARD");
    EXPECT_EQ(GetClassName(51200, 0xFFFF), "BL");
    EXPECT_EQ(GetClassName(51201, 3), "BL2");
    EXPECT_EQ(GetClassName(51202, 0xFFFF), "BL3");
    EXPECT_EQ(GetClassName(26125, 0xFFFF), "?");
    EXPECT_EQ(GetPlatformName(0), "F1612 A");
    EXPECT_EQ(GetPlatformName(21), "F5438 WD2");
    EXPECT_EQ(GetPlatformName(65534), "F1611 C-SP");
    EXPECT_EQ(GetPlatformName(0xFFFF), "?");
    EXPECT_EQ(GetPrintName(10), "A6/A7/A8");
    EXPECT_EQ(GetPrintName(44), "A9e");
    EXPECT_EQ(GetPrintName(45), "?");
}

TEST(Designations, ModelNamesAreOursAndDistinct) {
    // 26135 and 26145 are named by print 38, 39 and any other; every other class ignores print.
    for (std::uint16_t iClass : {26135, 26145}) {
        const std::set<std::string> aNames{GetClassName(iClass, 38), GetClassName(iClass, 39),
                                           GetClassName(iClass, 0xFFFF)};
        EXPECT_EQ(aNames.size(), 3u) << iClass;
        EXPECT_EQ(GetClassName(iClass, 0), GetClassName(iClass, 0xFFFF));
        EXPECT_EQ(aNames.count("?"), 0u);
    }
    for (std::uint16_t p : {0, 38, 39, 0xFFFF})
        EXPECT_EQ(GetClassName(26113, p), GetClassName(26113, 0xFFFF));
    for (std::uint16_t iClass = 26113; iClass <= 26158; ++iClass) {
        if (iClass != 26125) {
            EXPECT_NE(GetClassName(iClass, 0xFFFF), "?") << iClass;
        }
    }
    EXPECT_NE(GetPlatformName(20), "?");
    for (std::uint16_t iPrint : {12, 24, 25, 26, 27, 28, 29, 40, 43})
        EXPECT_NE(GetPrintName(iPrint), "?") << iPrint;
}

TEST(FlashLayout, RegionsAsTabled) {
    TFlashLayout l;
    GetFlashLayout(12, l);
    EXPECT_EQ(l[0], (TFlashRegion{true, 0x1800, 0x187F}));
    EXPECT_EQ(l[3], TFlashRegion{});
    EXPECT_EQ(l[5], (TFlashRegion{true, 0x4A00, 0xF7FF}));
    EXPECT_EQ(l[6], (TFlashRegion{true, 0x10000, 0x243FF}));

    GetFlashLayout(13, l); // overlapping regions are kept as they are
    EXPECT_EQ(l[2], (TFlashRegion{true, 0x5C00, 0x83FF}));
    EXPECT_EQ(l[5], (TFlashRegion{true, 0x5C00, 0xF7FF}));

    GetFlashLayout(20, l);
    EXPECT_EQ(l[1].iFirst, 0x5C00);
    EXPECT_LT(l[1].iLast, 0x6200);

    TFlashLayout l6;
    GetFlashLayout(6, l6);
    GetFlashLayout(65534, l);
    for (std::size_t i = 0; i < 7; ++i)
        if (i != 5) {
            EXPECT_EQ(l[i], l6[i]) << i;
        }
    EXPECT_EQ(l[5].iFirst, 0x4000);

    // Every platform with a layout ends region 5 at 0xF7FF; region 6 starts at 0x10000.
    for (std::uint16_t p :
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 20, 21, 65534}) {
        GetFlashLayout(p, l);
        EXPECT_EQ(l[5].iLast, 0xF7FF) << p;
        if (l[6].bUsed) {
            EXPECT_EQ(l[6].iFirst, 0x10000) << p;
        }
    }
}

TEST(FlashLayout, ClearsFirstAndLeavesUnknownPlatformsClear) {
    for (std::uint16_t p : {18, 19, 22, 0xFFFF}) {
        TFlashLayout l;
        GetFlashLayout(12, l); // leftovers from an earlier platform
        GetFlashLayout(p, l);
        EXPECT_EQ(l, TFlashLayout{}) << p;
    }
    for (std::uint16_t p : {0, 3}) {
        TFlashLayout l;
        GetFlashLayout(12, l);
        GetFlashLayout(p, l);
        EXPECT_EQ(l[0], TFlashRegion{}) << p;
        EXPECT_EQ(l[0].iFirst, 0) << "update-ID block address of platform " << p;
    }
}
