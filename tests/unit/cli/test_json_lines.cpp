// kelvo-update's JSON Lines: the texts, the events and the versions they carry.
#include "firmware/uFWVersions.h"
#include "frontend/uJsonLines.h"
#include "frontend/uNotifyTexts.h"

#include <gtest/gtest.h>

namespace {

const std::string Fffd = "\xEF\xBF\xBD";

} // namespace

TEST(JsonString, EscapesAndReplacesIllFormedUtf8) {
    const struct {
        std::string sIn;
        std::string sOut; // without the quotes
    } aCases[] = {
        {"plain", "plain"},
        {"a\"b\\c/", "a\\\"b\\\\c/"},
        {"\n\r\t\x01\x1f\x7f", "\\n\\r\\t\\u0001\\u001f\x7f"},
        {"\b\f", "\\b\\f"},
        {"Gr\xC3\xB6\xC3\x9F"
         "e \xE2\x82\xAC \xF0\x9F\x98\x80",
         "Gr\xC3\xB6\xC3\x9F"
         "e \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"/dev/tty\xFF", "/dev/tty" + Fffd},
        {"\x80x", Fffd + "x"},                           // a continuation byte alone
        {"a\xC3", "a" + Fffd},                           // cut at the end
        {"\xC3(", Fffd + "("},                           // a lead byte without its continuation
        {"\xE2\x82x", Fffd + "x"},                       // a cut sequence is one replacement
        {"\xF0\x9F\x98", Fffd},                          // the same, cut at the end
        {"\xC0\xAF", Fffd + Fffd},                       // overlong two bytes
        {"\xE0\x80\xAF", Fffd + Fffd + Fffd},            // overlong three bytes
        {"\xED\xA0\x80", Fffd + Fffd + Fffd},            // a surrogate
        {"\xF4\x90\x80\x80", Fffd + Fffd + Fffd + Fffd}, // above U+10FFFF
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},        // U+10FFFF itself
    };
    for (const auto& c : aCases)
        EXPECT_EQ(JsonString(c.sIn), "\"" + c.sOut + "\"") << c.sIn;
}

TEST(RunEvents, TheSessionsOwnLinesAndTheRepeats) {
    const std::string sPort = "COM3";
    using S = TSource;
    const auto notified = [](std::int32_t iCode, std::int32_t iValue, TStep step) {
        step.iCode = iCode;
        step.iNotified = iValue;
        return step;
    };
    const struct {
        TStep step;
        const char* sEvent;
    } aCases[] = {
        {{TAction::Report, StartText(sPort), 0, S::Start}, "start"},
        {{TAction::Report, Texts::LoggerWaitsInBootloader, 0, S::Note}, "note"},
        {{TAction::Report, "Gave up after 3 repeats: communication error!", 0, S::GaveUp},
         "gave-up"},
        {{TAction::Diagnostic, Texts::CheckSilentLogger, 0, S::GaveUp}, "reason"},
        {{TAction::Diagnostic, "warning: the update journal is not written", 0, S::Warning},
         "reason"},
        {notified(10, 44, {TAction::Report, StatusText(44, sPort)}), "repeat"},
        {notified(13, 0, {TAction::Report, "Repeat update because communication error!"}),
         "repeat"},
        {notified(10, 10, {TAction::Report, StatusText(10, sPort)}), "status"},
        {notified(10, 10, {TAction::Diagnostic, "Reason: no such device"}), "reason"},
        {notified(30, 328297, {TAction::Report, "Serial number 328297 taken from ..."}),
         "notification"},
    };
    for (const auto& c : aCases) {
        const TEvent event = RunEvent(c.step);
        EXPECT_STREQ(EventName(event), c.sEvent) << c.step.sText;
        EXPECT_EQ(EventOfName(c.sEvent), event) << "read back as written";
    }
    EXPECT_FALSE(EventOfName("upgrade")) << "a name this program does not know";
}

TEST(JsonVersions, NumbersBesideTheTextForTheLoggerAndTheImages) {
    // The logger's version word: high byte and low byte.
    const struct {
        std::optional<std::int32_t> iWord;
        const char* sExpected;
    } aCases[] = {
        {0x058A, R"({"version":"5.138","version_major":5,"version_minor":138})"},
        {0x0508, R"({"version":"5.8","version_major":5,"version_minor":8})"},
        {0x0000, R"({"version":"0.0","version_major":0,"version_minor":0})"},
        {0xFFFF, R"({"version":"255.255","version_major":255,"version_minor":255})"},
        {std::nullopt, R"({"version":null,"version_major":null,"version_minor":null})"},
    };
    for (const auto& c : aCases) {
        TJson o = TJson::object();
        AddVersion(o, c.iWord);
        EXPECT_EQ(JsonText(o), c.sExpected);
    }
    // An image's text keeps two digits for its minor number ("5.08"); its numbers are the
    // header's, to compare with the logger's.
    const auto aLines = FirmwareListJson(std::nullopt);
    ASSERT_EQ(aLines.size(), static_cast<std::size_t>(GetFwCount()));
    for (const std::string& s : aLines) {
        const TJson o = TJson::parse(s);
        const TBl3FileHeader h = GetFwHeader(o["entry"].get<std::int32_t>());
        EXPECT_EQ(o["version_major"], h.quarn_verH) << s;
        EXPECT_EQ(o["version_minor"], h.quarn_verL) << s;
        EXPECT_EQ(o["version"].get<std::string>().find(std::to_string(h.quarn_verH) + "."), 0u)
            << s;
    }
}

TEST(JsonPorts, EveryKeyAndWhetherTheGuiListsThePort) {
    TPortDetails vcp;
    vcp.sPort = "COM7";
    vcp.sDeviceName = "\\Device\\VCP0";
    TPortDetails usbser = vcp;
    usbser.sPort = "COM9";
    usbser.sDeviceName = "\\Device\\USBSER000";
    usbser.bInGuiList = false;
    // What the port's device tells on Windows.
    usbser.sVendorId = "2341";
    usbser.sProductId = "0043";
    usbser.sProduct = "Acm Board";
    usbser.sSerial = "K9";
    usbser.sDescription = "USB Serial Device";
    EXPECT_EQ(PortListJson({vcp, usbser}),
              (std::vector<std::string>{
                  R"({"list":"port","port":"COM7","by-id":null,"vendor-id":null,"product-id":null,)"
                  R"("product":null,"serial":null,"description":null,"device":"\\Device\\VCP0",)"
                  R"("in-gui-list":true})",
                  R"({"list":"port","port":"COM9","by-id":null,"vendor-id":"2341",)"
                  R"("product-id":"0043","product":"Acm Board","serial":"K9",)"
                  R"("description":"USB Serial Device","device":"\\Device\\USBSER000",)"
                  R"("in-gui-list":false})"}));
}
