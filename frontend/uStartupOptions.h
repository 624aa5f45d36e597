// The start-up options: the internal mode and the key:value parameters that set the update
// options once, before any update.
#pragma once

#include <string>
#include <vector>

// The access code that the internal-mode store must hold.
constexpr long long InternalAccessCode = 7315;

// True when the store holds the access code: on Windows the DWORD value "intern" under
// HKEY_CURRENT_USER "Software\Orlenta\Quarn"; elsewhere the line "intern=<number>" of
// $XDG_CONFIG_HOME/Orlenta/Quarn.conf (default ~/.config). Anything else, or no store, is off.
bool IsInternalMode();

// Sets bCheckClass, bCheckFamily, bCheckPlatform, bFormatMemory and iFileMode from the
// parameters (after the program's path): "cc:", "cf:", "cp:" and "f:" only in the internal mode,
// "mf:" always.
void ReadStartupOptions(const std::vector<std::string>& aParams, bool bInternal);

// A warning for each start-up word of aParams that has no effect: an unknown key, a key without a
// value, or a key of the internal mode outside it.
std::vector<std::string> StartupOptionWarnings(const std::vector<std::string>& aParams,
                                               bool bInternal);

// Reads an integer as the internal-mode store holds it: optional blanks around an optionally
// signed decimal number. False for anything else.
bool ParseStoreInteger(const std::string& s, long long& iValue);
