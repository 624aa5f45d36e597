#include "frontend/uNotifyTexts.h"

#include "firmware/uFWVersions.h"
#include "firmware/uFwFile.h"
#include "firmware/uVersion.h"
#include "hexline/uFmt.h"
#include "link/uCommThread.h"
#include "link/uExceptions1V0.h"
#include "link/uSystemTexts.h"

#include <ctime>

namespace {

std::uint16_t Low16(std::int32_t i) {
    return static_cast<std::uint16_t>(i & 0xFFFF);
}

} // namespace

std::string StartText(const std::string& sPort) {
    return Fmt("Start at serial port \"%s\"", sPort.c_str());
}

std::string StatusText(std::int32_t iStatus, const std::string& sPort) {
    switch (iStatus) {
    case Status::PortNotReady:
        return Fmt("Aborted because serial port \"%s\" is not ready!", sPort.c_str());
    case Status::PortIoError:
        return "Aborted because error when reading/writing to serial port!";
    case Status::Cancelled:
        return "Process cancelled!";
    case Status::WrongLogger:
        return "Aborted because no update is available for this logger!";
    case Status::LoggerException:
        return "Aborted because the logger is not ready!";
    case Status::BadLastLine:
        return "Aborted because last line is wrong !";
    case Status::BadImageLine:
        return "Aborted because conversion error!";
    case Status::EchoMismatch:
        return "Repeat because programming error!";
    case Status::WrongClassAfter:
        return "Update was not successfull!";
    case Status::BadHardwareReply:
        return "Aborted because the logger transmitted an invalid answer!";
    case Status::NoFittingImage:
        return "There is no update available or the logger has another update ID!";
    case Status::InfoOnly:
        return "Only read update info!";
    default:
        return "Fatal Exception has occurred!";
    }
}

std::string FirmwareDescription(std::int32_t iEntry) {
    const TBl3FileHeader h = GetFwHeader(iEntry);
    return Fmt("%s V%d.%.2d, %s, BL%d.%d", GetClassName(h.quarn_class, h.quarn_print).c_str(),
               h.quarn_verH, h.quarn_verL, GetPrintName(h.quarn_print).c_str(), h.quarn_bl,
               h.quarn_bl_ver);
}

std::vector<TStep> NotificationSteps(std::int32_t iCode, std::int32_t iValue,
                                     const std::string& sPort, const std::string& sPortReason) {
    using A = TAction;
    const auto report = [](std::string s) {
        return std::vector<TStep>{{A::Report, std::move(s)}};
    };
    switch (iCode) {
    case Notify::Done: {
        const std::string s = DoneText(iFwIndex);
        return {{A::Progress, "", 100},
                {A::EndUpdate, ""},
                {A::Report, s},
                {A::Status, s},
                {A::Message, s}};
    }
    case Notify::Progress:
        return {{A::Report, Fmt("Progress %d%%", iValue)},
                {A::Progress, "", iValue},
                {A::Title, Fmt("%d%%", iValue)}};
    case Notify::Status: {
        std::vector<TStep> a{{A::EndUpdate, ""}, {A::Beep, ""}};
        const std::string s = StatusText(iValue, sPort);
        if (iValue == Status::BadImageLine) {
            a.push_back({A::Message, s});
        } else if (iValue == Status::EchoMismatch) {
            a.push_back({A::Report, s});
            a.push_back({A::Status, s});
            a.push_back({A::RepeatNow, "", 0});
        } else if ((iValue == Status::PortNotReady || iValue == Status::PortIoError) &&
                   !sPortReason.empty()) {
            const std::string sReason = "Reason: " + sPortReason;
            a.push_back({A::Report, s});
            a.push_back({A::Diagnostic, sReason});
            a.push_back({A::Status, s});
            a.push_back({A::Message, s + "\r\n" + sReason});
        } else {
            a.push_back({A::Report, s});
            a.push_back({A::Status, s});
            a.push_back({A::Message, s});
        }
        return a;
    }
    case Notify::EchoDiffers: {
        const std::string s = Fmt("Aborted because programming error at line %d !", iValue);
        return {{A::Report, s}, {A::Status, s}};
    }
    case Notify::LineBad:
        return report(Fmt("Aborted because conversion error at line  %d !", iValue));
    case Notify::NoAnswer: {
        const std::string s = "Repeat update because communication error!";
        return {{A::Status, s}, {A::Report, s}, {A::RestartAfterWait, "", iValue}};
    }
    case Notify::Class:
        return report(Fmt("Class %d [%s]", iValue, GetClassName(Low16(iValue), NoCode).c_str()));
    case Notify::Version:
        return report(Fmt("Version %d.%d", (iValue >> 8) & 0xFF, iValue & 0xFF));
    case Notify::Platform:
        return report(Fmt("Platform %d [%s]", iValue, GetPlatformName(Low16(iValue)).c_str()));
    case Notify::Print:
        return report(Fmt("Print %d [%s]", iValue, GetPrintName(Low16(iValue)).c_str()));
    case Notify::InfoWord:
        return report(Fmt("Info %d", iValue));
    case Notify::UpidId:
        return report(
            Fmt("Update class %d [%s]", iValue, GetClassName(Low16(iValue), NoCode).c_str()));
    case Notify::TransferBegins: {
        const std::string s = "Update " + FirmwareDescription(iFwIndex);
        return {{A::Report, s}, {A::Status, s}};
    }
    case Notify::Candidate:
        return report("Check " + FirmwareDescription(iValue));
    case Notify::UpidInfo:
        return report(Fmt("Update Info %.4X", static_cast<unsigned>(iValue)));
    case Notify::VectorLine:
        if (iValue == 0)
            return report("Vector table is saved.");
        if (iValue == 1)
            return report("Vector table is programmed.");
        return {};
    case Notify::Serial:
        return report(Fmt("Serial number %u", static_cast<std::uint32_t>(iValue)));
    default:
        return {};
    }
}

std::string DoneText(std::int32_t iEntry) {
    const TBl3FileHeader h = GetFwHeader(iEntry);
    return Fmt("Update %s V%d.%.2d succesfully completed.",
               GetClassName(h.quarn_class, h.quarn_print).c_str(), h.quarn_verH, h.quarn_verL);
}

std::string ImageVersion(std::int32_t iEntry) {
    return FirmwareRow(GetFwHeader(iEntry))[1];
}

std::vector<std::string> FirmwareRow(const TBl3FileHeader& h) {
    // The date is free text from a firmware file: no control character reaches a terminal or
    // a window as it is.
    return {GetClassName(h.quarn_class, h.quarn_print),
            Fmt("%u.%.2u", unsigned{h.quarn_verH}, unsigned{h.quarn_verL}),
            GetPlatformName(h.quarn_platform),
            GetPrintName(h.quarn_print),
            EscapeControlChars(h.quarn_date),
            Fmt("%u.%u", unsigned{h.quarn_bl}, unsigned{h.quarn_bl_ver})};
}

std::string ReportLine(const std::string& sText) {
    const std::tm tm = LocalTime(std::time(nullptr));
    return Fmt("%02d-%02d-%02d -> ", tm.tm_hour, tm.tm_min, tm.tm_sec) + sText;
}

std::string PinQuestionText(std::uint32_t iSerial, const std::string& sStarted) {
    const std::string sSerial = std::to_string(iSerial);
    return "The update of " + sStarted + " on this port was interrupted and left the logger " +
           sSerial +
           " in its bootloader. The logger on the port waits in its bootloader with the same "
           "hardware, but the port tells nothing that shows it is the same logger.\r\nIs the "
           "serial number on its label " +
           sSerial + " ?";
}

std::string PinNotTakenText(std::uint32_t iSerial, const std::string& sStarted) {
    return "Serial number " + std::to_string(iSerial) + " of the interrupted update of " +
           sStarted + " not taken: only the port name ties that update to this logger";
}

std::string LabelSerialText(std::uint32_t iSerial) {
    return "Serial number " + std::to_string(iSerial) + " from the logger's label";
}

std::string SerialDiffersText(std::uint32_t iRead, std::uint32_t iLabel) {
    return "Not updated: the logger reports serial number " + std::to_string(iRead) + ", not " +
           std::to_string(iLabel) + " as given from its label.";
}
