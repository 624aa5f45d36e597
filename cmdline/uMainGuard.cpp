#include "cmdline/uMainGuard.h"

#include "hexline/uShownText.h"

#include <exception>

namespace {

constexpr int ExitFatal = 1;

void Report(const std::function<void(const std::string&)>& report, std::string_view sProgram,
            std::string_view sText) noexcept {
    try {
        report(std::string(sProgram) + ": " + EscapeControlChars(sText));
    } catch (...) {
        // Not even the line could be made or written: the exit status is all that is left.
    }
}

} // namespace

int GuardMain(std::string_view sProgram, const std::function<int()>& body,
              const std::function<void(const std::string& sLine)>& report) noexcept {
    try {
        return body();
    } catch (const EExit& e) {
        if (*e.what() != '\0') {
            try {
                report(e.what());
            } catch (...) {
                // The exit status still tells.
            }
        }
        return e.iStatus;
    } catch (const std::exception& e) {
        Report(report, sProgram, e.what());
    } catch (...) {
        Report(report, sProgram, "the program ended on an unexpected error");
    }
    return ExitFatal;
}
