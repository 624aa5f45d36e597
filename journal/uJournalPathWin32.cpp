// The journal's place on Windows: the user's local application data folder.
#include "journal/uJournal.h"

#include <windows.h>

#include <cstdlib>

namespace {

std::string Utf8(const wchar_t* s) {
    const int iSize = ::WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
    if (iSize <= 1)
        return "";
    std::string sText(static_cast<std::size_t>(iSize), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, s, -1, sText.data(), iSize, nullptr, nullptr);
    sText.resize(static_cast<std::size_t>(iSize - 1));
    return sText;
}

std::string Env(const wchar_t* sName) {
    const wchar_t* s = ::_wgetenv(sName);
    return s ? Utf8(s) : "";
}

} // namespace

std::string JournalPath() {
    if (std::string sPath = Env(L"KELVO_JOURNAL"); !sPath.empty())
        return sPath;
    const std::string sLocal = Env(L"LOCALAPPDATA");
    if (sLocal.empty())
        throw EJournal("The journal has no place: neither KELVO_JOURNAL nor LOCALAPPDATA is set");
    return sLocal + "\\kelvo\\journal.sqlite3";
}

std::string ComputerName() {
    wchar_t s[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD iSize = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(s, &iSize))
        return "";
    return Utf8(s);
}
