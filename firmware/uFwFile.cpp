#include "firmware/uFwFile.h"

#include "firmware/uVersion.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace {

// Header lines 2 to 7: key and field, in line order.
struct TIntKey {
    const char* sKey;
    std::uint16_t TBl3FileHeader::*pField;
};
constexpr std::array<TIntKey, 6> aIntKeys = {{
    {"bootloader version", &TBl3FileHeader::quarn_bl_ver},
    {"class", &TBl3FileHeader::quarn_class},
    {"versionH", &TBl3FileHeader::quarn_verH},
    {"versionL", &TBl3FileHeader::quarn_verL},
    {"platform", &TBl3FileHeader::quarn_platform},
    {"print", &TBl3FileHeader::quarn_print},
}};

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Optional spaces, optional sign, then decimal digits (within signed 32 bits) or "$", "0x", "0X",
// "x", "X" and hexadecimal digits (at most 32 bits); nothing after the number.
bool TryStrToInt(std::string_view s, std::int64_t& iValue) {
    std::size_t i = s.find_first_not_of(' ');
    if (i == std::string_view::npos)
        return false;
    const bool bNegative = s[i] == '-';
    if (s[i] == '-' || s[i] == '+')
        ++i;
    const std::string_view sRest = s.substr(i);
    bool bHex = false;
    for (const std::string_view sPrefix : {"$", "0x", "0X", "x", "X"}) {
        if (sRest.starts_with(sPrefix)) {
            bHex = true;
            i += sPrefix.size();
            break;
        }
    }
    if (i == s.size())
        return false;
    const std::int64_t iBase = bHex ? 16 : 10;
    const std::int64_t iLimit = bHex ? 0xFFFFFFFFLL : (bNegative ? 0x80000000LL : 0x7FFFFFFFLL);
    std::int64_t iMagnitude = 0;
    for (; i < s.size(); ++i) {
        const int iDigit = HexDigitValue(s[i]);
        if (iDigit < 0 || iDigit >= iBase)
            return false;
        iMagnitude = iMagnitude * iBase + iDigit;
        if (iMagnitude > iLimit)
            return false;
    }
    iValue = bNegative ? -iMagnitude : iMagnitude;
    return true;
}

// The low 16 bits of the integer in sValue (-1 gives 0xFFFF).
std::uint16_t StrToField(const std::string& sValue, const std::string& sWhere) {
    std::int64_t iValue = 0;
    if (!TryStrToInt(sValue, iValue))
        throw std::runtime_error("'" + sValue + "' is not a valid integer value" + sWhere);
    return static_cast<std::uint16_t>(static_cast<std::uint64_t>(iValue) & 0xFFFFu);
}

// One line without its line end (LF or CR LF); false past the end.
bool GetLine(std::istream& file, std::string& sLine) {
    if (!std::getline(file, sLine))
        return false;
    if (!sLine.empty() && sLine.back() == '\r')
        sLine.pop_back();
    return true;
}

// The next line; empty past the end.
std::string ReadLine(std::istream& file) {
    std::string sLine;
    if (!GetLine(file, sLine))
        sLine.clear();
    return sLine;
}

// The whole file, checked to be a plausible firmware file before any of it is parsed.
std::string ReadWholeFile(const std::string& sFileName) {
    namespace fs = std::filesystem;
    const fs::path path(sFileName);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found)
        throw std::runtime_error("Firmware file '" + sFileName + "' does not exist");
    if (ec)
        throw std::runtime_error("Cannot open firmware file '" + sFileName + "': " + ec.message());
    if (fs::is_directory(status))
        throw std::runtime_error("'" + sFileName + "' is a folder, not a firmware file");
    const auto tooLarge = [&] {
        return std::runtime_error("Firmware file '" + sFileName + "' is larger than 4 MiB");
    };
    const std::uintmax_t iSize = fs::file_size(path, ec);
    if (!ec && iSize > MaxFwFileSize)
        throw tooLarge();

    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("Cannot open firmware file '" + sFileName + "'");
    // Read in chunks up to the limit: a file that grew since the size check is refused too.
    std::string sContent;
    std::array<char, 65536> aChunk{};
    while (file) {
        file.read(aChunk.data(), static_cast<std::streamsize>(aChunk.size()));
        sContent.append(aChunk.data(), static_cast<std::size_t>(file.gcount()));
        if (sContent.size() > MaxFwFileSize)
            throw tooLarge();
    }
    if (file.bad())
        throw std::runtime_error("Cannot read firmware file '" + sFileName + "'");
    if (sContent.empty())
        throw std::runtime_error("Firmware file '" + sFileName + "' is empty");
    // A text file never holds a NUL byte; such a file is binary, whatever its name.
    if (sContent.find('\0') != std::string::npos)
        throw std::runtime_error("'" + sFileName + "' is not a firmware file (binary data)");
    return sContent;
}

// Reads the header of sContent into FwFileHeader.
void ReadHeader(const std::string& sContent) {
    std::istringstream stream(sContent);
    ReadFwFileHeader(stream, FwFileHeader);
}

} // namespace

std::string GetKeyValue(const std::string& sLine, const std::string& sKey) {
    const std::size_t iEq = sLine.find('=');
    if (iEq == std::string::npos || sLine.compare(0, iEq, sKey) != 0)
        return {};
    return sLine.substr(iEq + 1);
}

bool ReadFwFileHeader(std::istream& file, TBl3FileHeader& header) {
    const std::string sBootloader = GetKeyValue(ReadLine(file), "bootloader");
    header.quarn_bl = sBootloader == "2" ? 2 : sBootloader == "3" ? 3 : NoCode;
    for (std::size_t k = 0; k < aIntKeys.size(); ++k) {
        const std::string sLine = ReadLine(file);
        const std::string sKey = aIntKeys[k].sKey;
        // A line with another key reads as an empty value; the message says which line that was.
        const std::string sWhere =
            sLine.starts_with(sKey + "=")
                ? std::string()
                : " (header line " + std::to_string(k + 2) + " is not \"" + sKey + "=...\")";
        header.*aIntKeys[k].pField = StrToField(GetKeyValue(sLine, sKey), sWhere);
    }
    header.quarn_date = GetKeyValue(ReadLine(file), "date");
    return true;
}

bool LoadFwFile(const std::string& sFileName, std::string* psError) {
    FwFileLines.clear();
    std::string sContent;
    try {
        sContent = ReadWholeFile(sFileName);
        ReadHeader(sContent);
    } catch (const std::exception& e) {
        if (psError != nullptr)
            *psError = e.what();
        return false;
    }

    // The image lines come from the same bytes as the header.
    std::vector<std::string> aLines;
    std::istringstream stream(sContent);
    for (std::string sLine; GetLine(stream, sLine);) {
        if (sLine.find('=') == std::string::npos)
            aLines.push_back(std::move(sLine));
    }
    FwFileLines = std::move(aLines);
    iFwIndex = 0;
    return true;
}

void InspectFwFile(const std::string& sFileName) {
    ReadHeader(ReadWholeFile(sFileName));
    iFwIndex = 0;
}
