// The simulated logger's input side on arbitrary bytes: its command line, then its byte parser.
//
// Input: the command-line arguments, one per '\n'-separated piece, up to the first NUL byte; then
// chunks for the model, each a length byte and that many bytes, a length of 0 meaning that the
// line went quiet (LineIdle). A command line that parses must give a model that can be built; one
// that does not, a message, and the model then takes a preset.
#include "hexline/uConvert1V0.h"
#include "sim/uLoggerModel.h"
#include "sim/uSimOptions.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool b) {
    if (!b)
        std::abort();
}

std::vector<std::string> Arguments(std::string_view sText) {
    std::vector<std::string> aArgs;
    if (sText.empty())
        return aArgs;
    std::size_t iStart = 0;
    for (;;) {
        const std::size_t iEnd = sText.find('\n', iStart);
        aArgs.emplace_back(sText.substr(iStart, iEnd - iStart));
        if (iEnd == std::string_view::npos)
            return aArgs;
        iStart = iEnd + 1;
    }
}

TLoggerConfig Configure(std::string_view sArgs) {
    std::string sError;
    const std::optional<TSimOptions> options = ParseSimOptions(Arguments(sArgs), sError);
    if (options)
        return options->config;
    Check(!sError.empty());
    return LoggerPreset("entry" + std::to_string(1 + sArgs.size() % 9)).value();
}

void Feed(TLoggerModel& model, const std::uint8_t* pData, std::size_t iSize) {
    std::size_t iPos = 0;
    while (iPos < iSize) {
        const std::size_t iLength = pData[iPos++];
        if (iLength == 0) {
            model.LineIdle();
            continue;
        }
        const std::size_t iTake = std::min(iLength, iSize - iPos);
        const bool bHungUp = model.HangupRequested();
        const std::vector<std::uint8_t> aOut = model.Receive(pData + iPos, iTake);
        iPos += iTake;
        Check(!bHungUp || aOut.empty());
        Check(!model.ProgrammingOpen() || model.State() == TLoggerModel::TState::Bootloader);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t iSize) {
    const auto* pEnd = static_cast<const std::uint8_t*>(std::memchr(pData, 0, iSize));
    const std::size_t iArgs = pEnd == nullptr ? iSize : static_cast<std::size_t>(pEnd - pData);
    const TLoggerConfig config =
        Configure(std::string_view(reinterpret_cast<const char*>(pData), iArgs));

    std::optional<TLoggerModel> model;
    try {
        model.emplace(config);
    } catch (const std::invalid_argument&) {
        Check(false); // the command line let through a configuration the model refuses
    }
    if (iArgs < iSize)
        Feed(*model, pData + iArgs + 1, iSize - iArgs - 1);

    // Every line the model accepted is a valid line for the updater's codec as well.
    for (const std::string& sLine : model->Record()) {
        const THexLineResult parsed = ParseHexLine(sLine);
        Check(parsed.Ok() && FormatHexLine(parsed.rec) == sLine);
    }
    return 0;
}
