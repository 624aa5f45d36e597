// What kelvo-update writes: the report and the outcome on standard output, diagnostics on standard
// error, the lists, JSON Lines for programs.
#pragma once

#include "frontend/uNotifyTexts.h"
#include "frontend/uPortList.h"
#include "frontend/uUpdateRunner.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The two output streams. A stream that fails once (a pipe whose reader has gone, a terminal that
// was hung up) is not written to again: the update goes on, and its exit status still tells the
// outcome.
class TConsole {
public:
    void Out(const std::string& sLine) { Write(stdout, sLine + "\n", FbOutFailed); }
    void Err(const std::string& sLine) { Write(stderr, sLine + "\n", FbErrFailed); }
    // Without a line end: the progress bar redraws its line in place.
    void ErrInPlace(const std::string& s) { Write(stderr, s, FbErrFailed); }

private:
    static void Write(std::FILE* pStream, const std::string& s, bool& bFailed);
    bool FbOutFailed = false;
    bool FbErrFailed = false;
};

extern TConsole Console;

// s as a JSON string literal, quotes included. Bytes that are not part of well-formed UTF-8
// become U+FFFD, so that the output is valid UTF-8 whatever a port name or a text holds.
std::string JsonString(const std::string& s);

// A JSON object built key by key.
class TJsonObject {
public:
    TJsonObject& Str(const char* sKey, const std::string& s) { return Raw(sKey, JsonString(s)); }
    // An empty text as null: the system did not tell it.
    TJsonObject& StrOrNull(const char* sKey, const std::string& s) {
        return Raw(sKey, s.empty() ? "null" : JsonString(s));
    }
    TJsonObject& Int(const char* sKey, long long i) { return Raw(sKey, std::to_string(i)); }
    TJsonObject& Bool(const char* sKey, bool b) { return Raw(sKey, b ? "true" : "false"); }
    TJsonObject& Raw(const char* sKey, const std::string& sJson) {
        FsText += (FsText.empty() ? "{" : ",") + JsonString(sKey) + ":" + sJson;
        return *this;
    }
    std::string Text() const { return FsText.empty() ? "{}" : FsText + "}"; }

private:
    std::string FsText;
};

// The offset of local time from UTC in minutes, from one instant broken down both ways.
int UtcOffsetMinutes(const std::tm& local, const std::tm& utc);
// ISO 8601 with milliseconds and the offset: "2026-12-10T12:34:56.789+01:00".
std::string IsoTime(const std::tm& local, int iMillis, int iOffsetMinutes);
// The local time now in that form.
std::string IsoTimeNow();

// A dialog's text with its CR LF line breaks as plain line ends.
std::string PlainLines(std::string s);

// The lines of the firmware list: a header line and one line per entry in aligned columns
// (spaces), the entry number first; the loaded file sFile (when given) first as entry "file" with
// its name last, then the built-in images, newest first.
std::vector<std::string> FirmwareListLines(const std::optional<std::string>& sFile);

// The firmware list on standard output; bJson: one JSON object a line instead (the file slot with
// entry 0 and its "file" name).
void PrintFirmwareList(const std::optional<std::string>& sFile, bool bJson);

// The ports, tab-separated under a header with the columns that any of them fills, or one JSON
// object a line.
void PrintPortList(const std::vector<TPortDetails>& aPorts, bool bJson);

// The "event" name of a report line or diagnostic of a run (RunUpdate's sink arguments).
const char* RunEventName(std::int32_t iCode, std::int32_t iValue, const TStep& step,
                         const std::string& sPort);

// True for the line that starts an attempt, the first or a repeat.
bool IsStartLine(std::int32_t iCode, const TStep& step, const std::string& sPort);

// A run as JSON Lines: one object for every report line and diagnostic, then the result.
class TJsonRun {
public:
    // bPortOnEveryLine: every object names the port, not only the result (one of several ports).
    explicit TJsonRun(std::string sPort, bool bPortOnEveryLine = false)
        : FsPort(std::move(sPort)), FbPortOnEveryLine(bPortOnEveryLine) {}
    // One step of RunUpdate's sink; writes the report lines and diagnostics.
    void Step(std::int32_t iCode, std::int32_t iValue, const TStep& step);
    // The last object: the run's result with iExit, the program's exit status.
    void Result(const TRunResult& result, int iExit, const std::string& sOutcome);

private:
    std::string FsPort;
    bool FbPortOnEveryLine;
    // The run's first identification, and the image it selected last.
    std::optional<std::int32_t> FiClass;
    std::optional<std::int32_t> FiVersion;
    std::optional<std::int32_t> FiEntry;
};
