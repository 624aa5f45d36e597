// Several ports: the JSON Lines of the children read back, and what is made of them.
#include "cli/uSeveralPorts.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(ParseJson, ReadsWhatTheChildrenWriteAndRefusesTheRest) {
    const auto o = ParseJson(R"( {"a":"x\"\\\/\n\u00e9\ud83d\ude00\ud800","b":-1.25e1,"c":null,)"
                             R"("d":[true,false,{}],"e":{"serial":4294967295}} )");
    ASSERT_TRUE(o);
    EXPECT_EQ(o->Str("a"), "x\"\\/\n\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD");
    EXPECT_EQ(o->Find("b")->d, -12.5);
    EXPECT_FALSE(o->Int("b")) << "not integral";
    EXPECT_TRUE(o->Find("c")->IsNull());
    EXPECT_EQ(o->Find("d")->aItems.size(), 3u);
    EXPECT_EQ(o->Find("e")->Int("serial"), 4294967295LL);
    EXPECT_FALSE(o->Str("missing"));
    // Texts that are not JSON, each for its own reason.
    for (const char* s : {"", "{", "{\"a\":1,}", "{\"a\" 1}", "[1 2]", "01", "1.", "-", "\"\x01\"",
                          "\"\\x\"", "\"\\u12\"", "tru", "{} {}", "{'a':1}", "\"open"}) {
        EXPECT_FALSE(ParseJson(s)) << s;
    }
    EXPECT_FALSE(ParseJson(std::string(100, '[') + std::string(100, ']'))) << "too deep";
}

namespace {

TJson Json(const std::string& s) {
    auto o = ParseJson(s);
    EXPECT_TRUE(o) << s;
    return o ? *o : TJson{};
}

} // namespace

TEST(PortRun, FollowsTheRunToItsSummary) {
    const auto t0 = TPortRun::TClock::now();
    std::vector<TPortRun> aRuns;
    aRuns.emplace_back("/dev/ttyUSB0", t0);
    aRuns.emplace_back("/dev/ttyUSB1", t0);
    aRuns.emplace_back("/dev/ttyUSB2", t0);
    TPortRun& ok = aRuns[0];
    EXPECT_EQ(ok.LiveLine(12), "/dev/ttyUSB0  -           waiting");
    for (const char* s :
         {R"({"event":"start"})", R"({"event":"class","value":26113})",
          R"({"event":"serial","value":320000})", R"({"event":"candidate","value":9})",
          R"({"event":"selected","entry":9,"description":"Image nine"})"})
        ok.Event(Json(s), t0);
    ok.Event(Json(R"({"event":"progress","value":10})"), t0 + 10s);
    ok.Event(Json(R"({"event":"progress","value":20})"), t0 + 20s);
    EXPECT_EQ(ok.LiveLine(12), "/dev/ttyUSB0  320000      programming          20%  1:20 left");
    // A repeat starts afresh, keeping the serial number.
    ok.Event(Json(R"({"event":"repeat"})"), t0 + 21s);
    ok.Event(Json(R"({"event":"start"})"), t0 + 22s);
    EXPECT_EQ(ok.LiveLine(12), "/dev/ttyUSB0  320000      repeat 1");
    ok.Event(Json(R"({"event":"result","exit":0,"success":true,"text":"Done.",)"
                  R"("logger":{"class":26113,"version":"5.138","serial":320000},)"
                  R"("image":{"entry":9,"description":"Image nine"}})"),
             t0 + 60s);
    ok.Ended(0, false, t0 + 61s);
    EXPECT_EQ(ok.LiveLine(12), "/dev/ttyUSB0  320000      done                100%");

    // Killed after the cancel without a result: cancelled; the same unasked: failed.
    aRuns[1].Ended(-1, true, t0 + 5s);
    EXPECT_EQ(aRuns[1].iExit, 20);
    EXPECT_EQ(aRuns[1].sOutcome, "Process cancelled!");
    EXPECT_EQ(aRuns[1].LiveLine(12), "/dev/ttyUSB1  -           cancelled");
    aRuns[2].Event(Json(R"({"event":"note","text":"Waits in its bootloader."})"), t0);
    aRuns[2].Ended(-1, false, t0 + 5s);
    EXPECT_EQ(aRuns[2].iExit, 1);
    EXPECT_EQ(ExitOfSeveral(aRuns), 20) << "the first failure in port order";

    const std::vector<std::string> aExpected = {
        "Port          Serial  Image       Exit  Time  Outcome",
        "/dev/ttyUSB0  320000  Image nine  0     1:01  Done.",
        "/dev/ttyUSB1  -       -           20    0:05  Process cancelled!",
        "/dev/ttyUSB2  -       -           1     0:05  Fatal Exception has occurred!",
        "Not updated: /dev/ttyUSB1 (exit status 20), /dev/ttyUSB2 (exit status 1); 1 of 3 "
        "loggers were updated.",
        "/dev/ttyUSB2: Waits in its bootloader."};
    EXPECT_EQ(SummaryLines(aRuns), aExpected);

    const auto summary = Json(SummaryJson(aRuns));
    EXPECT_EQ(summary.Str("event"), "summary");
    EXPECT_EQ(summary.Int("exit"), 20);
    const auto& aPorts = summary.Find("ports")->aItems;
    ASSERT_EQ(aPorts.size(), 3u);
    EXPECT_EQ(aPorts[0].Int("serial"), 320000);
    EXPECT_EQ(aPorts[0].Find("image")->Int("entry"), 9);
    EXPECT_TRUE(aPorts[1].Find("serial")->IsNull());
    EXPECT_TRUE(aPorts[1].Find("image")->IsNull());
    EXPECT_EQ(aPorts[2].Int("exit"), 1);

    aRuns.pop_back();
    aRuns.pop_back();
    EXPECT_EQ(ExitOfSeveral(aRuns), 0);
    EXPECT_EQ(SummaryLines(aRuns).back(), "All 1 loggers were updated.");
}
