// The top of every program's main: nothing that escapes the program's body aborts it; it ends
// with exit status 1 and says why.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

// Ends the program from any depth with the exit status iStatus: a usage error, a refusal, or the
// end of --help. sText, when not empty, is reported as it stands (its maker has escaped what it
// quotes).
class EExit : public std::runtime_error {
public:
    explicit EExit(int iStatus, const std::string& sText = {})
        : std::runtime_error(sText), iStatus(iStatus) {}
    const int iStatus;
};

// Runs body and returns its exit status. EExit ends it with its status, its text (if any) given to
// report as it stands. When another exception escapes body, report gets one line,
// sProgram ": " and the exception's text with its control characters escaped (a fixed text for
// what is not a std::exception), and the status is 1.
int GuardMain(std::string_view sProgram, const std::function<int()>& body,
              const std::function<void(const std::string& sLine)>& report) noexcept;
