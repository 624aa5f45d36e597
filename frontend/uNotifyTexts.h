// What the operator sees of an update: for every notification of the worker, the outputs in
// their order (report line, status text, message box, progress, title, beep) and the control
// steps (end of update, restarts). The GUI and the command-line front end both act on these
// steps, so every text exists once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Texts {
constexpr const char* AppTitle = "Kelvo Firmware Update";
constexpr const char* ConfirmCaption = "Confirm";
constexpr const char* AskClearsMeasurements =
    "This update clears all measurements!\r\nDo you really continue ?";
constexpr const char* AskSaveMeasurements =
    "Do you save your measurements ?\r\nDo you really continue without saving ?";
constexpr const char* AskCloseWhileRunning =
    "The update is not finished!\r\nDo you really close the program ?";
// The end of a run that left the logger in its bootloader with no image programmed completely.
constexpr const char* LoggerWaitsInBootloader =
    "The logger is waiting in its bootloader: run the update again to finish it.";
// The same end when the logger's serial number could not be known there: running the update
// again cannot help a logger that may be pinned, its serial number from the label can.
constexpr const char* LoggerWaitsSerialUnknown =
    "The logger is waiting in its bootloader, where it does not tell its serial number: update it "
    "again with the serial number from its label (kelvo-update --serial N, or the serial number "
    "field of the internal mode).";
// The outcome when an earlier run on the port name alone names a pinned serial number: the
// logger is not updated.
constexpr const char* SerialUnknownOutcome =
    "in its bootloader, serial unknown: update it with --serial";
// The end of a run whose port was lost after the finish request, while the logger restarted: its
// outcome, and the note that says what helps.
constexpr const char* RestartNotConfirmed =
    "The port was lost while the logger restarted: restart could not be confirmed (plug it in "
    "again to check).";
constexpr const char* CheckRestartedLogger =
    "Every line was programmed and the finish request sent; whether the logger restarted into its "
    "new firmware is unknown. Plug it in again: a logger that still waits in its bootloader needs "
    "the update again.";
// What to check when the logger stayed silent through every repeat.
constexpr const char* CheckSilentLogger =
    "The logger did not answer: check the cable, that the logger is switched on and its battery "
    "is not empty, that this is the logger's port, and that no other program uses the port.";
// A chosen firmware file that cannot be read or that the update could not use: nothing starts.
constexpr const char* FileNotReadable = "Aborted because the firmware file could not be read!";
} // namespace Texts

enum class TAction {
    BeginUpdate,      // an attempt starts: controls to the running state, progress to 0
    Report,           // sText as a report line
    Diagnostic,       // sText, why something failed: a report line; on a terminal, standard error
    Status,           // sText as the status text
    Message,          // sText in the message box
    Progress,         // progress bar to iValue
    Title,            // application title sText
    EndUpdate,        // controls back to idle; the worker has ended
    Beep,             // the default sound
    RestartAfterWait, // keep bCancel, wait 1,500 ms, start again with command iValue, restore it
    RepeatNow,        // start again at once with command iValue
    Selection,        // an attempt has ended: iValue is the catalogue selection it left
};

// Where a step comes from, so that a front end can tell the steps apart without reading texts.
enum class TSource {
    Notification, // a notification of the worker: iCode and iNotified
    Start,        // an attempt starts, the first or a repeat
    GaveUp,       // the repeats have run out
    Note,         // the run has ended with the logger waiting in its bootloader
    Warning,      // the update journal could not be written
    Settling,     // the port has just arrived and refuses the open for now: tried again shortly
};

struct TStep {
    TAction action;
    std::string sText;
    std::int32_t iValue = 0; // Progress: the percentage; the restarts: the command number
    TSource source = TSource::Notification;
    std::int32_t iCode = -1; // source Notification: the notification's code and value
    std::int32_t iNotified = 0;
    bool bNoSuchPort = false; // a Diagnostic that says the port does not exist
    // Notify::Progress: the data lines that the logger has taken so far in the run.
    std::int32_t iLinesSent = 0;
    bool operator==(const TStep&) const = default;
};

// The steps for notification (iCode, iValue). sPort is the port box's current text. Texts built
// from a firmware header read the catalogue (entry iFwIndex, or the entry named by the value).
// Codes without a meaning give no steps. sPortReason: why the port could not be opened or used,
// shown as a "Reason:" line with status 10 and 11.
std::vector<TStep> NotificationSteps(std::int32_t iCode, std::int32_t iValue,
                                     const std::string& sPort, const std::string& sPortReason = {});

// The text of a completed update that programmed catalogue entry iEntry.
std::string DoneText(std::int32_t iEntry);

// The question whether the logger in its bootloader is the one that an interrupted update of
// sStarted on the same port name left there, with serial number iSerial.
std::string PinQuestionText(std::uint32_t iSerial, const std::string& sStarted);
// The report line when that update's serial number is not applied.
std::string PinNotTakenText(std::uint32_t iSerial, const std::string& sStarted);
// The report line when the serial number from the logger's label is applied.
std::string LabelSerialText(std::uint32_t iSerial);
// The outcome when the logger's application reports iRead instead of iLabel.
std::string SerialDiffersText(std::uint32_t iRead, std::uint32_t iLabel);

// The report and status line that starts every update, restarts included.
std::string StartText(const std::string& sPort);

// The text of a status code (notification 10), "Fatal Exception has occurred!" for unknown ones.
std::string StatusText(std::int32_t iStatus, const std::string& sPort);

// "%s V%d.%.2d, %s, BL%d.%d" of a catalogue entry: class name, version, print name, bootloader.
std::string FirmwareDescription(std::int32_t iEntry);

// The columns of the firmware overview and one row of them for a header. The date, free text from
// a file, shows its control characters as "\xNN" (ESC as "\x1b").
constexpr const char* FirmwareColumns[6] = {"Firmware", "Version", "Platform",
                                            "Print",    "Date",    "BL"};
struct TBl3FileHeader;
std::vector<std::string> FirmwareRow(const TBl3FileHeader& h);
// The version of built-in image iEntry as the overview shows it ("5.138").
std::string ImageVersion(std::int32_t iEntry);

// A report line as the report shows it: the local time "hh-nn-ss", " -> ", the text.
std::string ReportLine(const std::string& sText);
