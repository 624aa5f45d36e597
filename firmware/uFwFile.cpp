#include "firmware/uFwFile.h"

#include "firmware/uFlash.h"
#include "firmware/uRegularFile.h"
#include "firmware/uVersion.h"
#include "hexline/uConvert1V0.h"

#include <algorithm>
#include <array>
#include <map>
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
        // Digits of either case.
        const char c = s[i] >= 'a' && s[i] <= 'f' ? static_cast<char>(s[i] - 'a' + 'A') : s[i];
        std::uint8_t iDigit = 0;
        if (!HexCharToNibble(c, iDigit) || iDigit >= iBase)
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
        throw std::runtime_error("'" + EscapeControlChars(sValue) +
                                 "' is not a valid integer value" + sWhere);
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

// Reads the header of sContent, the content of sFileName, into FwFileHeader. A file whose header
// cannot be read and whose first line is not a bootloader line is some other text file: the
// message says so rather than naming the first value that fails its conversion.
void ReadHeader(const std::string& sFileName, const std::string& sContent) {
    std::istringstream stream(sContent);
    try {
        ReadFwFileHeader(stream, FwFileHeader);
    } catch (const std::runtime_error&) {
        std::istringstream first(sContent);
        std::string sFirst = ReadLine(first);
        if (sFirst.starts_with("\xEF\xBB\xBF"))
            sFirst.erase(0, 3);
        if (sFirst.starts_with("bootloader="))
            throw;
        // A long line is cut, never inside a UTF-8 character.
        std::string sShown = sFirst;
        if (std::size_t iCut = 40; sFirst.size() > iCut) {
            while (iCut > 0 && (static_cast<unsigned char>(sFirst[iCut]) & 0xC0) == 0x80)
                --iCut;
            sShown = sFirst.substr(0, iCut) + "...";
        }
        throw std::runtime_error("'" + sFileName +
                                 "' is not a firmware file: its first line must be "
                                 "\"bootloader=2\" or \"bootloader=3\", not " +
                                 (sFirst.empty() ? std::string("a blank line")
                                                 : "\"" + EscapeControlChars(sShown) + "\""));
    }
}

// The image lines of a file with their line numbers in the file (from 1).
struct TImage {
    std::vector<std::string> aLines;
    std::vector<std::size_t> aLineNumbers;
    std::size_t iFileLines = 0; // every line of the file
};

TImage ImageOf(const std::string& sContent) {
    TImage image;
    std::istringstream stream(sContent);
    for (std::string sLine; GetLine(stream, sLine);) {
        ++image.iFileLines;
        if (sLine.find('=') == std::string::npos) {
            image.aLines.push_back(std::move(sLine));
            image.aLineNumbers.push_back(image.iFileLines);
        }
    }
    return image;
}

// A defect of the file at line iLine.
[[noreturn]] void Refuse(std::size_t iLine, const std::string& sWhy) {
    throw std::runtime_error("line " + std::to_string(iLine) + ": " + sWhy);
}

// The keys of the eight header lines, in line order.
constexpr std::array<const char*, 8> aHeaderKeys = {
    "bootloader", "bootloader version", "class", "versionH",
    "versionL",   "platform",           "print", "date"};

// Why sLine, which the codec refused as parsed, is not a record: in the operator's words.
std::string WhyNotARecord(const std::string& sLine, const THexLineResult& parsed) {
    if (sLine.empty())
        return "blank line among the image lines";
    if (sLine[0] != ':')
        return "not a HEX record: it does not start with ':'";
    const std::size_t iBad = sLine.find_first_not_of("0123456789ABCDEF", 1);
    if (iBad != std::string::npos) {
        const std::string sColumn = " in column " + std::to_string(iBad + 1);
        if (sLine[iBad] >= 'a' && sLine[iBad] <= 'f')
            return "lower-case hex digit '" + sLine.substr(iBad, 1) + "'" + sColumn +
                   ": records take upper-case digits only";
        // A control character or a byte of another code page is named by its number.
        const auto iByte = static_cast<unsigned char>(sLine[iBad]);
        const std::string sWhat = iByte < 0x20 || iByte >= 0x7F
                                      ? "byte 0x" + ByteToHex(iByte)
                                      : "character '" + sLine.substr(iBad, 1) + "'";
        return sWhat + sColumn + " is not a hex digit";
    }
    // Only digits from here on: the codec read the count wherever there is one.
    const unsigned iCount = parsed.rec.Count;
    const std::size_t iLength = 2u * iCount + 11u;
    switch (parsed.eError) {
    case THexLineError::NotALine:
        return "HEX record cut short: " + std::to_string(sLine.size()) +
               " characters, at least 11 expected";
    case THexLineError::BadCount:
        return "record of " + std::to_string(iCount) + " data bytes: at most 64 are allowed";
    case THexLineError::WrongLength:
        return "record of " + std::to_string(iCount) + " data bytes has " +
               std::to_string(sLine.size()) + " characters instead of " + std::to_string(iLength);
    default:
        return "checksum " + sLine.substr(sLine.size() - 2) + " is wrong: the record needs " +
               ByteToHex(HexTextChecksum(sLine.data() + 1, static_cast<int>(iCount) + 4));
    }
}

// The name of a record type that the update does not send.
std::string RecordTypeName(unsigned iType) {
    switch (iType) {
    case 2:
        return "record type 2 (extended segment address)";
    case 4:
        return "record type 4 (extended linear address)";
    default:
        return "record type " + std::to_string(iType) + " (unknown)";
    }
}

// n in upper-case hex with at least iDigits digits, "0x" in front.
std::string HexNumber(std::int64_t n, int iDigits = 4) {
    std::string s;
    for (; n > 0 || iDigits > 0; n >>= 4, --iDigits)
        s.insert(s.begin(), NibbleToHexChar(static_cast<std::uint8_t>(n & 0xF)));
    return "0x" + s;
}

std::string ByteRange(std::int64_t iFirst) {
    return HexNumber(iFirst) + "-" + HexNumber(iFirst + FwRecordBytes - 1);
}

// The data records of an image by the flash address they write: each must lie inside one region
// of its platform's flash, and may write a byte that an earlier record wrote only with the same
// value (a repeated record is harmless; a conflicting one leaves the flash depending on order).
class TFlashWrites {
public:
    explicit TFlashWrites(const TBl3FileHeader& header) : FHeader(header) {
        GetFlashLayout(header.quarn_platform, FLayout);
        FbKnown = std::any_of(FLayout.begin(), FLayout.end(),
                              [](const TFlashRegion& r) { return r.bUsed; });
    }

    // Checks the 64-byte data record rec, on line iLine of the file, and remembers it.
    void Add(const THexRec& rec, std::size_t iLine) {
        const std::uint16_t iField = rec.Address();
        const std::int64_t iFirst = FwFlashAddress(FHeader.quarn_bl, iField);
        // Without a layout for the platform there is nothing to check the addresses against;
        // such a header is refused at selection time unless the checks are relaxed.
        if (FbKnown && !IsInsideRegion(FLayout, iFirst, iFirst + FwRecordBytes - 1))
            Refuse(iLine, Written(iField, iFirst) + " lies outside the flash of platform " +
                              std::to_string(FHeader.quarn_platform) + " [" +
                              GetPlatformName(FHeader.quarn_platform) + "] (" + Regions() +
                              "; a record must lie inside one of them)");
        TBytes aBytes{};
        std::copy_n(rec.Data.begin(), aBytes.size(), aBytes.begin());
        // Records that share a byte start less than 64 bytes apart.
        const auto itEnd = FWrites.upper_bound(iFirst + FwRecordBytes - 1);
        for (auto it = FWrites.lower_bound(iFirst - FwRecordBytes + 1); it != itEnd; ++it) {
            const std::int64_t iFrom = std::max(iFirst, it->first);
            const std::int64_t iTo = std::min(iFirst, it->first) + FwRecordBytes;
            for (std::int64_t a = iFrom; a < iTo; ++a)
                if (aBytes[static_cast<std::size_t>(a - iFirst)] !=
                    it->second.aBytes[static_cast<std::size_t>(a - it->first)])
                    Refuse(iLine, Written(iField, iFirst) + ": line " +
                                      std::to_string(it->second.iLine) +
                                      " already wrote other data there");
        }
        FWrites.try_emplace(iFirst, TWrite{iLine, aBytes});
    }

private:
    using TBytes = std::array<std::uint8_t, static_cast<std::size_t>(FwRecordBytes)>;
    struct TWrite {
        std::size_t iLine;
        TBytes aBytes;
    };

    // The record's address as the file gives it, with the flash bytes it writes.
    std::string Written(std::uint16_t iField, std::int64_t iFirst) const {
        if (FHeader.quarn_bl == 3)
            return "block " + HexNumber(iField) + " (flash " + ByteRange(iFirst) + ")";
        return "address " + ByteRange(iFirst);
    }

    std::string Regions() const {
        std::string s = "its regions: ";
        bool bFirst = true;
        for (const TFlashRegion& r : FLayout) {
            if (!r.bUsed)
                continue;
            s += (bFirst ? "" : ", ") + HexNumber(r.iFirst) + "-" + HexNumber(r.iLast);
            bFirst = false;
        }
        return s;
    }

    const TBl3FileHeader& FHeader;
    TFlashLayout FLayout;
    bool FbKnown = false;
    std::map<std::int64_t, TWrite> FWrites; // by first flash address
};

// Checks the whole file as the update will use it; throws std::runtime_error with the first
// defect, "line <n>: ...".
void CheckFwFile(const std::string& sContent, const TBl3FileHeader& header, const TImage& image) {
    if (sContent.starts_with("\xEF\xBB\xBF"))
        Refuse(1, "the file starts with a UTF-8 byte-order mark; save it as plain text without "
                  "one");
    if (header.quarn_bl != 2 && header.quarn_bl != 3) {
        std::istringstream stream(sContent);
        const std::string sFirst = ReadLine(stream);
        if (sFirst.starts_with("bootloader="))
            Refuse(1, "bootloader '" + EscapeControlChars(GetKeyValue(sFirst, "bootloader")) +
                          "' is not supported: the update needs 2 or 3");
        Refuse(1, "the header must start with \"bootloader=2\" or \"bootloader=3\"");
    }
    if (image.aLines.empty())
        Refuse(image.iFileLines + 1, "the image lines are missing: the file ends after its header");

    const std::size_t iLast = image.aLines.size() - 1;
    const std::size_t iEndLine = image.aLineNumbers[iLast];
    // The last line first, as the update does: a file cut short is named as such.
    if (image.aLines[iLast] != FwEndRecord)
        Refuse(iEndLine,
               std::string("the last image line must be the end record \"") +
                   std::string(FwEndRecord) + "\"" +
                   (image.aLines[iLast].empty() ? " (a blank line counts as image line)" : ""));
    std::size_t iDataLines = 0;
    std::size_t iVectorLine = 0; // its line number in the file; 0 for none so far
    TFlashWrites writes(header);
    for (std::size_t i = 0; i < iLast; ++i) {
        const std::size_t iLine = image.aLineNumbers[i];
        const THexLineResult parsed = ParseHexLine(image.aLines[i]);
        if (!parsed.Ok()) {
            if (iLine <= aHeaderKeys.size())
                Refuse(iLine, std::string("header line without \"=\": \"") +
                                  aHeaderKeys[iLine - 1] + "=...\" expected");
            Refuse(iLine, WhyNotARecord(image.aLines[i], parsed));
        }
        const THexRec& rec = parsed.rec;
        switch (rec.RecType) {
        case 0:
            if (rec.Count != 64)
                Refuse(iLine, "data record of " + std::to_string(rec.Count) +
                                  " bytes is not sent by the update (only 64-byte records are)");
            if (rec.Address() == FwVectorTableAddress) {
                if (iVectorLine != 0)
                    Refuse(iLine, "a second vector-table line (address 03DF, the first on line " +
                                      std::to_string(iVectorLine) + "): only one is sent");
                iVectorLine = iLine;
            }
            writes.Add(rec, iLine);
            ++iDataLines;
            break;
        case 1:
            Refuse(iLine, "end record before the last image line");
        case 3:
        case 5:
            break; // start addresses: passed over, harmless
        default:
            Refuse(iLine, RecordTypeName(rec.RecType) + " is not sent by the update");
        }
    }
    if (iDataLines == 0)
        Refuse(iEndLine, "no 64-byte data record before the end record: the update would send "
                         "nothing");
}

} // namespace

std::string ReadFwFileContent(const std::string& sFileName) {
    TFileRead file = ReadRegularFile(sFileName, MaxFwFileSize);
    switch (file.state) {
    case TFileReadState::Read:
        break;
    case TFileReadState::Missing:
        throw std::runtime_error("Firmware file '" + sFileName + "' does not exist");
    case TFileReadState::Folder:
        throw std::runtime_error("'" + sFileName + "' is a folder, not a firmware file");
    case TFileReadState::NotRegular:
        throw std::runtime_error("'" + sFileName + "' is not a regular file");
    case TFileReadState::TooLarge:
        throw std::runtime_error("Firmware file '" + sFileName + "' is larger than 4 MiB");
    case TFileReadState::Failed:
        throw std::runtime_error("Cannot read firmware file '" + sFileName + "': " + file.sError);
    }
    if (file.sContent.empty())
        throw std::runtime_error("Firmware file '" + sFileName + "' is empty");
    // A text file never holds a NUL byte; such a file is binary, whatever its name.
    if (file.sContent.find('\0') != std::string::npos)
        throw std::runtime_error("'" + sFileName + "' is not a firmware file (binary data)");
    return std::move(file.sContent);
}

std::vector<std::string> FwImageLines(const std::string& sContent) {
    return ImageOf(sContent).aLines;
}

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
        sContent = ReadFwFileContent(sFileName);
    } catch (const std::exception& e) {
        if (psError != nullptr)
            *psError = e.what();
        return false;
    }
    return LoadFwFileContent(sFileName, sContent, psError);
}

bool LoadFwFileContent(const std::string& sFileName, const std::string& sContent,
                       std::string* psError) {
    FwFileLines.clear();
    TImage image;
    try {
        ReadHeader(sFileName, sContent);
        // The image lines come from the same bytes as the header.
        image = ImageOf(sContent);
        CheckFwFile(sContent, FwFileHeader, image);
    } catch (const std::exception& e) {
        if (psError != nullptr)
            *psError = e.what();
        return false;
    }
    FwFileLines = std::move(image.aLines);
    iFwIndex = 0;
    return true;
}

void InspectFwFile(const std::string& sFileName) {
    ReadHeader(sFileName, ReadFwFileContent(sFileName));
    iFwIndex = 0;
}
