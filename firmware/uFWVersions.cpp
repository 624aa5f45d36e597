#include "firmware/uFWVersions.h"

#include "firmware/uFwImages.h"
#include "firmware/uVersion.h"

#include <array>
#include <stdexcept>

std::int32_t iFwIndex = -1;
TBl3FileHeader FwFileHeader;
std::vector<std::string> FwFileLines;

namespace {

// Entries 1 to 9, in entry order.
constexpr std::array<const TFwImage*, 9> aImages = {&FwImage1, &FwImage2, &FwImage3,
                                                    &FwImage4, &FwImage5, &FwImage6,
                                                    &FwImage7, &FwImage8, &FwImage9};

TBl3FileHeader ToHeader(const TFwImageHeader& h) {
    return {h.quarn_class,    h.quarn_verH,  h.quarn_verL,
            h.quarn_platform, h.quarn_print, std::string(h.quarn_date),
            h.quarn_bl,       h.quarn_bl_ver};
}

} // namespace

std::int32_t GetFwCount() {
    return static_cast<std::int32_t>(aImages.size());
}

bool GetFwEntry(std::int32_t iEntry, std::int32_t iQuery, std::int32_t iLine, std::string& sText,
                std::int32_t& iLast, TBl3FileHeader& header) {
    header.quarn_class = NoCode;
    header.quarn_platform = NoCode;
    header.quarn_print = NoCode;
    iLast = 0;
    sText.clear();
    if (iEntry < 0 || iEntry > GetFwCount() || iQuery < FwQuery::Header || iQuery > FwQuery::Line)
        return false;

    // A negative line index becomes a huge one, so .at() refuses it too.
    const auto iAt = static_cast<std::size_t>(static_cast<std::uint32_t>(iLine));
    if (iEntry == 0) {
        if (iQuery == FwQuery::Header)
            header = FwFileHeader;
        else if (iQuery == FwQuery::LastIndex)
            iLast = static_cast<std::int32_t>(FwFileLines.size()) - 1;
        else
            sText = FwFileLines.at(iAt);
        return true;
    }

    const TFwImage& image = *aImages[static_cast<std::size_t>(iEntry - 1)];
    if (iQuery == FwQuery::Header) {
        header = ToHeader(image.Header);
    } else if (iQuery == FwQuery::LastIndex) {
        iLast = static_cast<std::int32_t>(image.Lines.size()) - 1;
    } else {
        if (iAt >= image.Lines.size())
            throw std::out_of_range("line " + std::to_string(iLine) + " of built-in image " +
                                    std::to_string(iEntry) + " does not exist");
        sText = image.Lines[iAt];
    }
    return true;
}

TBl3FileHeader GetFwHeader(std::int32_t iEntry) {
    TBl3FileHeader header;
    std::string sText;
    std::int32_t iLast = 0;
    GetFwEntry(iEntry, FwQuery::Header, 0, sText, iLast, header);
    return header;
}

std::int32_t GetFwLastIndex(std::int32_t iEntry) {
    TBl3FileHeader header;
    std::string sText;
    std::int32_t iLast = 0;
    GetFwEntry(iEntry, FwQuery::LastIndex, 0, sText, iLast, header);
    return iLast;
}

std::int32_t GetSelFwLastIndex() {
    return GetFwLastIndex(iFwIndex);
}

std::string GetFwLine(std::int32_t iLine) {
    TBl3FileHeader header;
    std::string sText;
    std::int32_t iLast = 0;
    GetFwEntry(iFwIndex, FwQuery::Line, iLine, sText, iLast, header);
    return sText;
}
