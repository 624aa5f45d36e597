#include "firmware/uFWVersions.h"
#include "frontend/uNotifyTexts.h"
#include "link/uCommThread.h"

#include <gtest/gtest.h>

using A = TAction;

void PrintTo(const TStep& s, std::ostream* os) {
    *os << "{" << static_cast<int>(s.action) << ", \"" << s.sText << "\", " << s.iValue << "}";
}
using TSteps = std::vector<TStep>;

namespace {
TSteps Report(const std::string& s) {
    return {{A::Report, s}};
}
} // namespace

struct NotifyTexts : ::testing::Test {
    void SetUp() override { iFwIndex = 9; }
    void TearDown() override { iFwIndex = -1; }
};

TEST_F(NotifyTexts, ReportLinesOfTheInformationCodes) {
    const struct {
        std::int32_t iCode;
        std::int32_t iValue;
        TSteps steps;
    } aCases[] = {
        {20, 26113, Report("Class 26113 [Kelvo model 26113]")},
        {20, 51202, Report("Class 51202 [BL3]")},
        {20, 26125, Report("Class 26125 [?]")},
        {21, 0x0588, Report("Version 5.136")},
        {22, 12, Report("Platform 12 [F5328 A]")},
        {22, 0xFFFF, Report("Platform 65535 [?]")},
        {23, 44, Report("Print 44 [A9e]")},
        {24, 7, Report("Info 7")},
        {25, 26113, Report("Update class 26113 [Kelvo model 26113]")},
        {28, 0x2A, Report("Update Info 002A")},
        {28, 0xFFFF, Report("Update Info FFFF")},
        {29, 328297, Report("Serial number 328297")},
        {29, -1, Report("Serial number 4294967295")},
        {27, 2, Report("Check Kelvo model 26113 V4.08, A1, BL2.0")},
        {26,
         0,
         {{A::Report, "Update Kelvo model 26113 V5.138, A9e, BL3.0"},
          {A::Status, "Update Kelvo model 26113 V5.138, A9e, BL3.0"}}},
        {40, 0, Report("Vector table is saved.")},
        {40, 1, Report("Vector table is programmed.")},
        {40, 2, {}},
        {12, 47, Report("Aborted because conversion error at line  47 !")},
        {11,
         3,
         {{A::Report, "Aborted because programming error at line 3 !"},
          {A::Status, "Aborted because programming error at line 3 !"}}},
        {1, 42, {{A::Report, "Progress 42%"}, {A::Progress, "", 42}, {A::Title, "42%"}}},
        {13,
         0,
         {{A::Status, "Repeat update because communication error!"},
          {A::Report, "Repeat update because communication error!"},
          {A::RestartAfterWait, "", 0}}},
        {5, 1, {}},
        {101, 1, {}},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(NotificationSteps(c.iCode, c.iValue, "COM3"), c.steps)
            << c.iCode << "/" << c.iValue;
}

TEST_F(NotifyTexts, SuccessNamesTheSelectedImage) {
    const std::string s = "Update Kelvo model 26113 V5.138 succesfully completed.";
    EXPECT_EQ(NotificationSteps(0, 0, "COM3"), (TSteps{{A::Progress, "", 100},
                                                       {A::EndUpdate, ""},
                                                       {A::Report, s},
                                                       {A::Status, s},
                                                       {A::Message, s}}));
    iFwIndex = 3;
    EXPECT_EQ(NotificationSteps(0, 0, "COM3")[2].sText,
              "Update Kelvo model 26113 V5.08 succesfully completed.");
}

TEST_F(NotifyTexts, EveryStatusEndsTheUpdateWithABeepAndItsText) {
    const struct {
        std::int32_t iStatus;
        const char* sText;
    } aCases[] = {
        {10, "Aborted because serial port \"COM3\" is not ready!"},
        {11, "Aborted because error when reading/writing to serial port!"},
        {20, "Process cancelled!"},
        {40, "Aborted because no update is available for this logger!"},
        {41, "Aborted because the logger is not ready!"},
        {42, "Aborted because last line is wrong !"},
        {45, "Update was not successfull!"},
        {46, "Aborted because the logger transmitted an invalid answer!"},
        {47, "There is no update available or the logger has another update ID!"},
        {70, "Only read update info!"},
        {0, "Fatal Exception has occurred!"},
        {30, "Fatal Exception has occurred!"},
    };
    for (const auto& c : aCases)
        EXPECT_EQ(NotificationSteps(10, c.iStatus, "COM3"), (TSteps{{A::EndUpdate, ""},
                                                                    {A::Beep, ""},
                                                                    {A::Report, c.sText},
                                                                    {A::Status, c.sText},
                                                                    {A::Message, c.sText}}))
            << c.iStatus;
    EXPECT_EQ(NotificationSteps(10, 43, "COM3"),
              (TSteps{{A::EndUpdate, ""},
                      {A::Beep, ""},
                      {A::Message, "Aborted because conversion error!"}}));
    EXPECT_EQ(NotificationSteps(10, 44, "COM3"),
              (TSteps{{A::EndUpdate, ""},
                      {A::Beep, ""},
                      {A::Report, "Repeat because programming error!"},
                      {A::Status, "Repeat because programming error!"},
                      {A::RepeatNow, "", 0}}));
    EXPECT_EQ(StatusText(10, ""), "Aborted because serial port \"\" is not ready!");

    // Why the port could not be opened or used follows the status text of 10 and 11.
    for (const auto& [iStatus, sText] :
         {std::pair{10, "Aborted because serial port \"COM3\" is not ready!"},
          std::pair{11, "Aborted because error when reading/writing to serial port!"}}) {
        const std::string sReason = "Reason: the device was disconnected (error 22)";
        EXPECT_EQ(NotificationSteps(10, iStatus, "COM3", "the device was disconnected (error 22)"),
                  (TSteps{{A::EndUpdate, ""},
                          {A::Beep, ""},
                          {A::Report, sText},
                          {A::Diagnostic, sReason},
                          {A::Status, sText},
                          {A::Message, std::string(sText) + "\r\n" + sReason}}))
            << iStatus;
    }
}

TEST(NotifyTextsMisc, StartLineOverviewRowAndReportTime) {
    EXPECT_EQ(StartText("COM12"), "Start at serial port \"COM12\"");
    TBl3FileHeader h;
    h.quarn_class = 26113;
    h.quarn_verH = 5;
    h.quarn_verL = 8;
    h.quarn_platform = 12;
    h.quarn_print = 44;
    h.quarn_date = "22.02.2021 11:40:42";
    h.quarn_bl = 0xFFFF;
    h.quarn_bl_ver = 1;
    EXPECT_EQ(FirmwareRow(h), (std::vector<std::string>{"Kelvo model 26113", "5.08", "F5328 A",
                                                        "A9e", "22.02.2021 11:40:42", "65535.1"}));

    // The date is free text from a file: control characters are shown escaped, nothing else.
    const struct {
        const char* sDate;
        const char* sShown;
    } aDates[] = {
        {"", ""},
        {"18.06.2009 16:27:52", "18.06.2009 16:27:52"},
        {"a=b \\ \"x\" ~", "a=b \\ \"x\" ~"},
        {"\xC3\xA4 \xE9", "\xC3\xA4 \xE9"},
        {"\x1b[2J\x1b]0;t\x07", "\\x1b[2J\\x1b]0;t\\x07"},
        {"a\tb\r\nc\x7f\x01", "a\\x09b\\x0d\\x0ac\\x7f\\x01"},
    };
    for (const auto& c : aDates) {
        h.quarn_date = c.sDate;
        EXPECT_EQ(FirmwareRow(h)[4], c.sShown) << c.sShown;
    }
    for (std::int32_t i = 1; i <= GetFwCount(); ++i)
        EXPECT_EQ(FirmwareRow(GetFwHeader(i))[4], GetFwHeader(i).quarn_date) << i;

    const std::string s = ReportLine("x");
    ASSERT_EQ(s.size(), 13u);
    EXPECT_EQ(s.substr(8), " -> x");
    EXPECT_EQ(s[2], '-');
    EXPECT_EQ(s[5], '-');
}
