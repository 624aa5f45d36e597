// Several ports: the JSON Lines of the children read back, and what is made of them.
#include "cli/uPortLines.h"
#include "frontend/uNotifyTexts.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const std::string Fffd = "\xEF\xBF\xBD";

TJson Json(const std::string& s) {
    auto o = ReadJsonLine(s);
    EXPECT_TRUE(o) << s;
    return o ? *o : TJson::object();
}

} // namespace

TEST(ChildLines, ReadAsObjectsWhateverTheyHold) {
    const auto o = ReadJsonLine(R"( {"a":"x\"\\\/\n\u00e9\ud83d\ude00","b":-1.25e1,"c":null,)"
                                R"("d":[true,false,{}],"e":{"serial":4294967295}} )");
    ASSERT_TRUE(o);
    EXPECT_EQ(JsonStr(*o, "a"), "x\"\\/\n\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_FALSE(JsonInt(*o, "b")) << "not integral";
    EXPECT_FALSE(JsonInt(*o, "a")) << "a string is no number";
    EXPECT_FALSE(JsonStr(*o, "c"));
    EXPECT_EQ(JsonInt(o->at("e"), "serial"), 4294967295LL);
    EXPECT_FALSE(JsonStr(*o, "missing"));

    // Bytes that are not UTF-8 are read as U+FFFD, one for each ill-formed start, and the line
    // still counts.
    const auto bad = ReadJsonLine("{\"event\":\"note\",\"text\":\"tty\xFF\xE2\x82(\"}");
    ASSERT_TRUE(bad);
    EXPECT_EQ(JsonEvent(*bad), TEvent::Note);
    EXPECT_EQ(JsonStr(*bad, "text"), "tty" + Fffd + Fffd + "(");

    // Lines that hold no object: no JSON, a line cut off, another kind of value.
    for (const char* s :
         {"",
          "{",
          "{\"a\":1,}",
          "{\"a\" 1}",
          "[1 2]",
          "01",
          "1.",
          "-",
          "\"\x01\"",
          "\"\\x\"",
          "\"\\u12\"",
          "tru",
          "{} {}",
          "{'a':1}",
          "\"open",
          "{\"a\":\"\\ud800\"}",
          "[{}]",
          "42",
          "null",
          "\"event\"",
          R"({"time":"2026-12-10T12:36:06.077+00:00","event":"progress","code":1,"val)"}) {
        EXPECT_FALSE(ReadJsonLine(s)) << s;
    }
    EXPECT_FALSE(ReadJsonLine(std::string(100000, '[') + std::string(100000, ']')))
        << "deep nesting, read without running out of stack";

    // What a run does not know leaves it as it was: an event of a later version, an event that
    // is no name, a value of the wrong kind.
    const auto t0 = TPortRun::TClock::now();
    const TLiveLayout layout{.iPortWidth = 12};
    TPortRun run("/dev/ttyUSB0", t0);
    run.Event(Json(R"({"event":"start"})"), t0);
    const std::string sStarting = LiveLine(run, layout);
    for (const char* s :
         {R"({"event":"upgrade","value":50})", R"({"event":5,"value":50})", R"({"value":50})",
          R"({"event":"progress","value":"50"})", R"({"event":"serial","value":-1.5})"})
        run.Event(Json(s), t0);
    EXPECT_EQ(LiveLine(run, layout), sStarting);
    EXPECT_FALSE(run.iSerial);
    EXPECT_FALSE(run.iPercent);
}

TEST(PortRun, FollowsTheRunToItsSummary) {
    const TLiveLayout full{.iPortWidth = 12};
    const auto t0 = TPortRun::TClock::now();
    std::vector<TPortRun> aRuns;
    aRuns.emplace_back("/dev/ttyUSB0", t0);
    aRuns.emplace_back("/dev/ttyUSB1", t0);
    aRuns.emplace_back("/dev/ttyUSB2", t0);
    TPortRun& ok = aRuns[0];
    EXPECT_EQ(LiveLine(ok, full), "/dev/ttyUSB0  -           waiting");
    // A port that has just arrived and is held shows who holds it while it settles.
    ok.Event(Json(R"({"event":"start"})"), t0);
    ok.Event(Json(R"j({"event":"settling","text":"settling: held by mm (pid 8)"})j"), t0);
    EXPECT_EQ(LiveLine(ok, full), "/dev/ttyUSB0  -           settling: held by mm (pid 8)");
    for (const char* s :
         {R"({"event":"class","value":26113})", R"({"event":"serial","value":320000})",
          R"({"event":"candidate","value":9})",
          R"({"event":"selected","entry":9,"description":"Image nine"})"})
        ok.Event(Json(s), t0);
    ok.Event(Json(R"({"event":"progress","value":10})"), t0 + 10s);
    ok.Event(Json(R"({"event":"progress","value":20})"), t0 + 20s);
    EXPECT_EQ(LiveLine(ok, full), "/dev/ttyUSB0  320000      programming          20%  1:20 left");
    // A repeat starts afresh, keeping the serial number.
    ok.Event(Json(R"({"event":"repeat"})"), t0 + 21s);
    ok.Event(Json(R"({"event":"start"})"), t0 + 22s);
    EXPECT_EQ(LiveLine(ok, full), "/dev/ttyUSB0  320000      repeat 1");
    ok.Event(Json(R"({"event":"result","exit":0,"success":true,"text":"Done.",)"
                  R"("logger":{"class":26113,"version":"5.138","serial":320000},)"
                  R"("image":{"entry":9,"description":"Image nine"}})"),
             t0 + 60s);
    ok.Ended(0, false, t0 + 61s);
    EXPECT_EQ(LiveLine(ok, full), "/dev/ttyUSB0  320000      done                100%");

    // Killed after the cancel without a result: cancelled; the same unasked: failed.
    aRuns[1].Ended(-1, true, t0 + 5s);
    EXPECT_EQ(aRuns[1].iExit, 20);
    EXPECT_EQ(aRuns[1].sOutcome, "Process cancelled!");
    EXPECT_EQ(LiveLine(aRuns[1], full), "/dev/ttyUSB1  -           cancelled");
    // Its lines showed the logger in its bootloader: the note comes from them.
    aRuns[2].Event(Json(R"({"event":"class","value":51201})"), t0);
    aRuns[2].Ended(-1, false, t0 + 5s);
    EXPECT_EQ(aRuns[2].iExit, 1);
    EXPECT_EQ(ExitOfSeveral(aRuns), 20) << "the first failure in port order";

    const std::vector<std::string> aExpected = {
        "Port          Serial                Image       Exit  Time  Outcome",
        "/dev/ttyUSB0  320000                Image nine  0     1:01  Done.",
        "/dev/ttyUSB1  -                     -           20    0:05  Process cancelled!",
        "/dev/ttyUSB2  unknown (bootloader)  -           1     0:05  The update program ended "
        "unexpectedly: it did not exit by itself.",
        "Not updated: /dev/ttyUSB1 (exit status 20), /dev/ttyUSB2 (exit status 1); 1 of 3 loggers "
        "were updated.",
        std::string("/dev/ttyUSB2: ") + Texts::LoggerWaitsInBootloader};
    EXPECT_EQ(SummaryLines(aRuns), aExpected);

    const auto summary = Json(SummaryJson(aRuns));
    EXPECT_EQ(JsonStr(summary, "event"), "summary");
    EXPECT_EQ(JsonInt(summary, "exit"), 20);
    const auto& aPorts = summary.at("ports");
    ASSERT_EQ(aPorts.size(), 3u);
    EXPECT_EQ(JsonInt(aPorts[0], "serial"), 320000);
    EXPECT_EQ(JsonInt(aPorts[0].at("image"), "entry"), 9);
    EXPECT_TRUE(aPorts[1].at("serial").is_null());
    EXPECT_TRUE(aPorts[1].at("image").is_null());
    EXPECT_EQ(JsonInt(aPorts[2], "exit"), 1);

    aRuns.pop_back();
    aRuns.pop_back();
    EXPECT_EQ(ExitOfSeveral(aRuns), 0);
    EXPECT_EQ(SummaryLines(aRuns).back(), "All 1 loggers were updated.");

    // A process that exits by itself without its result never counts as a success.
    TPortRun silent("/dev/ttyUSB3", t0);
    silent.Event(Json(R"({"event":"start","journal_row":7})"), t0);
    silent.Ended(0, false, t0 + 1s);
    EXPECT_EQ(silent.iExit, 1);
    EXPECT_FALSE(silent.bSuccess);
    EXPECT_EQ(silent.sOutcome,
              "The update program ended unexpectedly: it exited with status 0 without its result.");
    EXPECT_EQ(silent.iJournalRow, 7);
}

#ifndef _WIN32
TEST(PortRun, AChildKilledAfterItsCancelEndsCancelledWithTheBootloaderNote) {
    // A child that has found its logger in the bootloader and then no longer ends on its cancel:
    // it ignores SIGTERM, as a child stuck in the kernel would seem to.
    TChildRuns children("sh", 200ms);
    children.Start({"-c", "trap '' TERM; echo '{\"event\":\"start\"}'; "
                          "echo '{\"event\":\"class\",\"value\":51201}'; exec sleep 60"},
                   {});
    TPortRun run("/dev/ttyUSB0", TPortRun::TClock::now());
    TInPlaceLines live(TInPlaceLines::TKind::Block);
    const TChildOutput output{false, false, false, live};
    bool bCancelled = false;
    bool bKilled = false;
    const auto tUntil = TPortRun::TClock::now() + 20s;
    while (children.Running() > 0 && TPortRun::TClock::now() < tUntil) {
        for (const TChildRuns::TItem& item : children.Take(100ms)) {
            TakeChildItem(item, run, bCancelled, TPortRun::TClock::now(), output);
            bKilled = bKilled || item.bKilled;
        }
        if (!bCancelled && run.sStage == "identifying") {
            children.CancelAll();
            bCancelled = true;
        }
    }
    ASSERT_TRUE(run.bEnded);
    EXPECT_TRUE(bKilled);
    EXPECT_EQ(run.iExit, 20);
    EXPECT_EQ(run.sOutcome, "Process cancelled!");
    EXPECT_EQ(run.aNotes, std::vector<std::string>{Texts::LoggerWaitsInBootloader});
}
#endif

namespace {

const std::string Ellipsis = "\xE2\x80\xA6";

// Runs at the stages a terminal shows together: one programming with a time left, one just
// started, one done; their ports as given.
std::vector<TPortRun> RunsInProgress(const std::vector<std::string>& aPorts) {
    const auto t0 = TPortRun::TClock::now();
    std::vector<TPortRun> aRuns;
    for (const auto& sPort : aPorts)
        aRuns.emplace_back(sPort, t0);
    for (TPortRun& run : aRuns)
        run.Event(Json(R"({"event":"start"})"), t0);
    TPortRun& programming = aRuns[0];
    for (const char* s :
         {R"({"event":"class","value":26113})", R"({"event":"serial","value":320000})",
          R"({"event":"selected","entry":9,"description":"Image nine"})"})
        programming.Event(Json(s), t0);
    programming.Event(Json(R"({"event":"progress","value":42})"), t0 + 42s);
    aRuns[1].Event(Json(R"({"event":"platform","value":12})"), t0);
    if (aRuns.size() > 2) {
        aRuns[2].Event(Json(R"({"event":"serial","value":4294967295})"), t0);
        aRuns[2].Event(Json(R"({"event":"result","exit":0,"success":true,"text":"Done."})"), t0);
        aRuns[2].Ended(0, false, t0 + 99s);
    }
    return aRuns;
}

} // namespace

TEST(LiveLines, FitTheTerminalKeepingPercentageAndStage) {
    const std::vector<std::string> aDev = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB10"};
    const std::vector<std::string> aById = {
        "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
        "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BJ-if00-port0", "/dev/pts/\x1b[2J"};
    const struct {
        std::vector<std::string> aPorts;
        int iColumns;
        std::vector<std::string> aExpected;
    } aCases[] = {
        // Wide enough: the full lines.
        {aDev,
         130,
         {"/dev/ttyUSB0   320000      programming          42%  0:58 left",
          "/dev/ttyUSB1   -           reading the hardware",
          "/dev/ttyUSB10  4294967295  done                100%"}},
        // The folder goes first, then the spare room of the columns.
        {aDev,
         60,
         {"ttyUSB0   320000      programming          42%  0:58 left",
          "ttyUSB1   -           reading the hardware",
          "ttyUSB10  4294967295  done                100%"}},
        // Then the spare room of the serial number and stage columns, then the time left.
        {aDev,
         50,
         {"ttyUSB0   320000      programming  42%  0:58 left",
          "ttyUSB1   -           reading the hardware", "ttyUSB10  4294967295  done        100%"}},
        {aDev,
         45,
         {"ttyUSB0   320000      programming  42%",
          "ttyUSB1   -           reading the har" + Ellipsis,
          "ttyUSB10  4294967295  done        100%"}},
        // Then the ports' middle, then the stages' end.
        {aById,
         60,
         {"usb-FTDI_FT232" + Ellipsis + "5BI-if00-port0  320000      programming  42%",
          "usb-FTDI_FT232" + Ellipsis + "5BJ-if00-port0  -           reading the har" + Ellipsis,
          "pts/\\x1b[2J                    4294967295  done        100%"}},
        {aById,
         40,
         {"usb-" + Ellipsis + "port0  320000      programmi" + Ellipsis + "  42%",
          "usb-" + Ellipsis + "port0  -           reading the ha" + Ellipsis,
          "pts/" + Ellipsis + "1b[2J  4294967295  done       100%"}},
    };
    for (const auto& c : aCases) {
        const auto aLines = LiveLines(RunsInProgress(c.aPorts), c.iColumns, Ellipsis);
        EXPECT_EQ(aLines, c.aExpected) << c.iColumns;
        for (const auto& s : aLines)
            EXPECT_LT(DisplayWidth(s), static_cast<std::size_t>(c.iColumns)) << s;
    }
    // No limit: the full lines, the escaped port as wide as its escaped form.
    const auto aFull = LiveLines(RunsInProgress(aById), 0, Ellipsis);
    EXPECT_EQ(aFull[2].find("/dev/pts/\\x1b[2J      "), 0u) << aFull[2];
    // Narrower than even the percentage and the stage need: cut at the right edge.
    for (int iColumns : {1, 10, 25}) {
        for (const auto& s : LiveLines(RunsInProgress(aById), iColumns, "..."))
            EXPECT_LT(DisplayWidth(s), static_cast<std::size_t>(iColumns)) << s;
    }
}

TEST(Summary, FitsTheTerminalAndTellsALoggerFoundInItsBootloader) {
    const auto t0 = TPortRun::TClock::now();
    std::vector<TPortRun> aRuns;
    aRuns.emplace_back("/dev/ttyUSB0", t0);
    aRuns.emplace_back("/dev/ttyUSB1", t0);
    aRuns.emplace_back("/dev/tty\x1b[2J", t0);
    const std::string sDone =
        R"({"event":"result","exit":0,"success":true,)"
        R"("text":"Update Kelvo model 26113 V5.138 succesfully completed.",)"
        R"("image":{"entry":9,"description":"Kelvo model 26113 V5.138, A9e, BL3.0"}})";
    // Found in its application, with a repeat that finds it in its bootloader: the serial number
    // of the first attempt stands.
    for (const char* s : {R"({"event":"start"})", R"({"event":"class","value":26113})",
                          R"({"event":"serial","value":320000})", R"({"event":"start"})",
                          R"({"event":"class","value":51202})"})
        aRuns[0].Event(Json(s), t0);
    aRuns[0].Event(Json(sDone), t0 + 61s);
    aRuns[0].Ended(0, false, t0 + 61s);
    // Found in its bootloader: no serial number to read. The final identification after the
    // transfer shows the application and changes nothing.
    for (const char* s : {R"({"event":"start"})", R"({"event":"class","value":51201})",
                          R"({"event":"selected","entry":9,"description":"x"})",
                          R"({"event":"class","value":26113})"})
        aRuns[1].Event(Json(s), t0);
    aRuns[1].Event(Json(sDone), t0 + 62s);
    aRuns[1].Ended(0, false, t0 + 62s);
    // Never identified; its outcome and note quote the port with a control character.
    aRuns[2].Event(Json(R"({"event":"start"})"), t0);
    aRuns[2].Event(
        Json(R"({"event":"result","exit":10,"success":false,"note":"Left at \u001b[2J.",)"
             R"("text":"Aborted because serial port \"/dev/tty\u001b[2J\" is not ready!"})"),
        t0);
    aRuns[2].Ended(10, false, t0);

    const std::string sTail[] = {
        "Not updated: /dev/tty\\x1b[2J (exit status 10); 2 of 3 loggers were updated.",
        "/dev/tty\\x1b[2J: Left at \\x1b[2J."};
    // No limit (piped), or wide enough: the outcome in its column.
    std::vector<std::string> aFull = {
        "Port             Serial                Image                                 Exit  Time  "
        "Outcome",
        "/dev/ttyUSB0     320000                Kelvo model 26113 V5.138, A9e, BL3.0  0     1:01  "
        "Update Kelvo model 26113 V5.138 succesfully completed.",
        "/dev/ttyUSB1     unknown (bootloader)  Kelvo model 26113 V5.138, A9e, BL3.0  0     1:02  "
        "Update Kelvo model 26113 V5.138 succesfully completed.",
        "/dev/tty\\x1b[2J  -                     -                                     10    0:00  "
        "Aborted because serial port \"/dev/tty\\x1b[2J\" is not ready!"};
    aFull.insert(aFull.end(), std::begin(sTail), std::end(sTail));
    EXPECT_EQ(SummaryLines(aRuns), aFull);
    EXPECT_EQ(SummaryLines(aRuns, 160), aFull);
    // Too narrow for the outcome: under its row.
    std::vector<std::string> a130 = {
        "Port             Serial                Image                                 Exit  Time",
        "    Outcome",
        "/dev/ttyUSB0     320000                Kelvo model 26113 V5.138, A9e, BL3.0  0     1:01",
        "    Update Kelvo model 26113 V5.138 succesfully completed.",
        "/dev/ttyUSB1     unknown (bootloader)  Kelvo model 26113 V5.138, A9e, BL3.0  0     1:02",
        "    Update Kelvo model 26113 V5.138 succesfully completed.",
        "/dev/tty\\x1b[2J  -                     -                                     10    0:00",
        "    Aborted because serial port \"/dev/tty\\x1b[2J\" is not ready!"};
    a130.insert(a130.end(), std::begin(sTail), std::end(sTail));
    EXPECT_EQ(SummaryLines(aRuns, 130), a130);
    // Too narrow for the image too; an outcome longer than the line is broken at a space.
    std::vector<std::string> a60 = {"Port             Serial                Exit  Time",
                                    "    Image",
                                    "    Outcome",
                                    "/dev/ttyUSB0     320000                0     1:01",
                                    "    Kelvo model 26113 V5.138, A9e, BL3.0",
                                    "    Update Kelvo model 26113 V5.138 succesfully completed.",
                                    "/dev/ttyUSB1     unknown (bootloader)  0     1:02",
                                    "    Kelvo model 26113 V5.138, A9e, BL3.0",
                                    "    Update Kelvo model 26113 V5.138 succesfully completed.",
                                    "/dev/tty\\x1b[2J  -                     10    0:00",
                                    "    -",
                                    "    Aborted because serial port \"/dev/tty\\x1b[2J\" is not",
                                    "    ready!"};
    a60.insert(a60.end(), std::begin(sTail), std::end(sTail));
    EXPECT_EQ(SummaryLines(aRuns, 60), a60);

    // JSON keeps null for a serial number that was not read.
    const auto aPorts = Json(SummaryJson(aRuns)).at("ports");
    ASSERT_EQ(aPorts.size(), 3u);
    EXPECT_EQ(JsonInt(aPorts[0], "serial"), 320000);
    EXPECT_TRUE(aPorts[1].at("serial").is_null());
}
