// The firmware catalogue: entry 0 is the file slot (a firmware file read from disk), entries 1 to 9
// the built-in images. Each entry has a header and a list of Intel HEX line texts ending with the
// end record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The hardware an image is meant for. A value: copies never share state.
struct TBl3FileHeader {
    std::uint16_t quarn_class = 0;
    std::uint16_t quarn_verH = 0;
    std::uint16_t quarn_verL = 0; // shown with at least two digits: 5.08, 5.138
    std::uint16_t quarn_platform = 0;
    std::uint16_t quarn_print = 0;
    std::string quarn_date;
    std::uint16_t quarn_bl = 0; // bootloader generation 2 or 3; 0xFFFF for neither
    std::uint16_t quarn_bl_ver = 0;
    bool operator==(const TBl3FileHeader&) const = default;
};

// Every image ends with this end record. Its one 64-byte data record at this address is the
// vector table, which is programmed last: a transfer broken off before it leaves the logger
// starting its bootloader.
constexpr const char* FwEndRecord = ":00000001FF";
constexpr std::uint16_t FwVectorTableAddress = 0x03DF;

// Every data record that the update sends carries this many bytes.
constexpr std::int64_t FwRecordBytes = 64;

// The flash byte address that a data record's address field names: images for bootloader 3
// count 64-byte blocks, those for bootloader 2 count bytes.
constexpr std::int64_t FwFlashAddress(std::uint16_t iBl, std::uint16_t iAddressField) {
    return iBl == 3 ? std::int64_t{iAddressField} * FwRecordBytes : std::int64_t{iAddressField};
}

// The queries of GetFwEntry.
namespace FwQuery {
constexpr std::int32_t Header = 0;
constexpr std::int32_t LastIndex = 1;
constexpr std::int32_t Line = 2;
} // namespace FwQuery

// The selected entry: -1 none (choose among the built-in images), 0 the file slot, 1..9 the image
// the last update selected. Written by the window thread before a worker starts and by the worker
// during its selection.
extern std::int32_t iFwIndex;

// The file slot: empty at start; filled by LoadFwFile (both) and InspectFwFile (the header).
extern TBl3FileHeader FwFileHeader;
extern std::vector<std::string> FwFileLines;

// The number of built-in images: 9.
std::int32_t GetFwCount();

// One query on one entry. The outputs are preset first (header class, platform and print 0xFFFF,
// its other fields untouched; last index 0; text empty); false for an entry outside 0..9 or a
// query outside 0..2, with the presets. A line index outside the entry's lines throws
// std::out_of_range.
bool GetFwEntry(std::int32_t iEntry, std::int32_t iQuery, std::int32_t iLine, std::string& sText,
                std::int32_t& iLast, TBl3FileHeader& header);

// Query 0 from a blank header: an entry out of range gives class, platform and print 0xFFFF and
// everything else 0 or empty.
TBl3FileHeader GetFwHeader(std::int32_t iEntry);
// Query 1: the index of the entry's last line (entry 0: lines - 1; 0 out of range).
std::int32_t GetFwLastIndex(std::int32_t iEntry);
std::int32_t GetSelFwLastIndex();
// Query 2 on the selected entry iFwIndex (empty when iFwIndex is not 0..9).
std::string GetFwLine(std::int32_t iLine);
