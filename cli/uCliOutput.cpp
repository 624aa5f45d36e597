#include "cli/uCliOutput.h"

#include "firmware/uFWVersions.h"
#include "frontend/uNotifyTexts.h"

#include <vector>

TConsole Console;

void TConsole::Write(std::FILE* pStream, const std::string& s, bool& bFailed) {
    if (bFailed)
        return;
    if (std::fwrite(s.data(), 1, s.size(), pStream) != s.size() || std::fflush(pStream) != 0) {
        bFailed = true;
        std::clearerr(pStream);
    }
}

std::string JsonString(const std::string& s) {
    std::string r = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            r += "\\\"";
            break;
        case '\\':
            r += "\\\\";
            break;
        case '\n':
            r += "\\n";
            break;
        case '\r':
            r += "\\r";
            break;
        case '\t':
            r += "\\t";
            break;
        default:
            if (c < 0x20) {
                char b[8];
                std::snprintf(b, sizeof b, "\\u%04x", c);
                r += b;
            } else {
                r += static_cast<char>(c);
            }
        }
    }
    return r + "\"";
}

std::string TimeOfDay() {
    return ReportLine("").substr(0, 8);
}

std::string PlainLines(std::string s) {
    std::erase(s, '\r');
    return s;
}

void TProgressBar::Show(int iPercent) {
    const auto tNow = std::chrono::steady_clock::now();
    if (!FtStart) {
        FtStart = tNow;
        FiStartPercent = iPercent;
    }
    std::string sEta = "--:--";
    const double dDone = iPercent - FiStartPercent;
    if (dDone > 0) {
        const double dSeconds = std::chrono::duration<double>(tNow - *FtStart).count();
        const int iLeft = static_cast<int>(dSeconds / dDone * (99 - iPercent));
        char b[16];
        std::snprintf(b, sizeof b, "%d:%02d", iLeft / 60, iLeft % 60);
        sEta = b;
    }
    const int iFilled = iPercent * 30 / 100;
    char b[96];
    std::snprintf(b, sizeof b, "\r[%s%s] %3d%%  %s left ", std::string(iFilled, '#').c_str(),
                  std::string(30 - iFilled, ' ').c_str(), iPercent, sEta.c_str());
    Console.ErrInPlace(b);
    FbShown = true;
}

void TProgressBar::Clear() {
    if (FbShown)
        Console.ErrInPlace("\r" + std::string(60, ' ') + "\r");
    FbShown = false;
}

void PrintFirmwareList(bool bWithFile) {
    std::string sLine;
    for (const char* s : FirmwareColumns)
        sLine += std::string(sLine.empty() ? "" : "\t") + s;
    Console.Out(sLine);
    std::vector<std::int32_t> aEntries;
    if (bWithFile)
        aEntries.push_back(0);
    for (std::int32_t i = GetFwCount(); i >= 1; --i)
        aEntries.push_back(i);
    for (std::int32_t i : aEntries) {
        sLine.clear();
        for (const auto& s : FirmwareRow(GetFwHeader(i)))
            sLine += (sLine.empty() ? "" : "\t") + s;
        Console.Out(sLine);
    }
}
