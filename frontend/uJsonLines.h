// kelvo-update's JSON Lines: what a run, the lists and the several-port summary write, one object
// a line, and what reads a child's lines back. The event names come from one table, for the
// writer and the reader alike.
#pragma once

#include "frontend/uPortList.h"
#include "frontend/uUpdateSession.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A JSON value whose object members keep the order they were added in.
using TJson = nlohmann::ordered_json;

// j as one line of JSON text. Bytes of a string that are not part of well-formed UTF-8 become
// U+FFFD, so that the output is valid UTF-8 whatever a port name or a text holds.
std::string JsonText(const TJson& j);

// s as a JSON string literal, quotes included.
std::string JsonString(const std::string& s);

// The text as a JSON string, or null for an empty one: the system did not tell it.
TJson StrOrNull(const std::string& s);

// The local time now, ISO 8601 with milliseconds and the offset: "2026-12-10T12:34:56.789+01:00".
std::string IsoTimeNow();

// What an object of a run tells: its "event".
enum class TEvent {
    Start,
    Class,
    Version,
    Platform,
    Print,
    Info,
    UpdateClass,
    UpdateInfo,
    Candidate,
    Selected,
    Progress,
    VectorTable,
    BadLine,
    EchoDiffers,
    Repeat,
    Status,
    Reason,
    Done,
    GaveUp,
    Note,
    Serial,
    Notification, // one that has no name of its own
    Result,
    Summary,
    // A station's own: a port has come, has gone, waits for its turn.
    Plugged,
    Unplugged,
    Waiting,
    // A port that has just arrived refuses the open for now: held by another program, or not
    // yet open to this user. The update tries again for a few seconds.
    Settling,
};

// The name an event is written with.
const char* EventName(TEvent event);
// The event of a name, or nothing for one this program does not know.
std::optional<TEvent> EventOfName(std::string_view sName);

// The event of a report line or diagnostic of a run (a step of its session).
TEvent RunEvent(const TStep& step);

// A version word as the keys "version" (its text, "5.138"), "version_major" and
// "version_minor" of o; all three null without one.
void AddVersion(TJson& o, std::optional<std::int32_t> iVersion);

// The firmware list as JSON Lines: the file slot sFile (when given) with entry 0 and its "file"
// name first, then the built-in images, newest first.
std::vector<std::string> FirmwareListJson(const std::optional<std::string>& sFile);

// The object of a run's line with the keys that every one has, in their order: time, event,
// code, value, text.
TJson RunObject(TEvent event, const TJson& code, const TJson& value, const std::string& sText);

// The ports, one object a line.
std::vector<std::string> PortListJson(const std::vector<TPortDetails>& aPorts);

// A run as JSON Lines: one object for every report line and diagnostic, then the result.
class TJsonRun {
public:
    // bPortOnEveryLine: every object names the port, not only the result (one of several ports).
    // iUpdate: the update's number, which every object carries.
    // out: where each object goes, as a line of text without its line end.
    using TOut = std::function<void(const std::string& sLine)>;
    TJsonRun(std::string sPort, bool bPortOnEveryLine, long long iUpdate, TOut out)
        : FsPort(std::move(sPort)), FbPortOnEveryLine(bPortOnEveryLine), FiUpdate(iUpdate),
          FOut(std::move(out)) {}
    // The run's row in the update journal, told in its start objects and its result.
    void JournalRow(std::optional<std::int64_t> iRow) { FiJournalRow = iRow; }
    // One step of the session; writes the report lines and diagnostics.
    void Step(const TStep& step);
    // The last object: the run's result, with its exit status, outcome and note.
    void Result(const TRunResult& result);

private:
    std::string FsPort;
    bool FbPortOnEveryLine;
    long long FiUpdate;
    std::optional<std::int64_t> FiJournalRow;
    TOut FOut;
};

// A line of a child's JSON Lines read back: the object it holds, or nothing when it holds no
// JSON object. Bytes that are not part of well-formed UTF-8 are read as U+FFFD.
std::optional<TJson> ReadJsonLine(std::string_view sLine);

// The member sKey of the object o when it is a string, or an integral number.
std::optional<std::string> JsonStr(const TJson& o, const char* sKey);
std::optional<long long> JsonInt(const TJson& o, const char* sKey);
// The event that o names, or nothing for none or an unknown one.
std::optional<TEvent> JsonEvent(const TJson& o);
