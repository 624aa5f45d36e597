// The top of every program's main: nothing that escapes the program's body aborts it; it ends
// with exit status 1 and says why.
#pragma once

#include <functional>
#include <string>
#include <string_view>

// Runs body and returns its exit status. When an exception escapes body, report gets one line,
// sProgram ": " and the exception's text with its control characters escaped (a fixed text for
// what is not a std::exception), and the status is 1.
int GuardMain(std::string_view sProgram, const std::function<int()>& body,
              const std::function<void(const std::string& sLine)>& report) noexcept;
