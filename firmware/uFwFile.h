// Firmware files: eight header lines key=value (bootloader, bootloader version, class, versionH,
// versionL, platform, print, date), then the image lines. Every line that contains "=" is left
// out of the image; every other line, blank ones included, is an image line, in file order.
// Lines end with CR LF or LF. Only regular files are read (never a FIFO or a device).
#pragma once

#include "firmware/uFWVersions.h"
#include "hexline/uShownText.h" // EscapeControlChars for the texts of a file

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

// A larger file is refused before it is read: the biggest image is about 110 KiB.
constexpr std::uintmax_t MaxFwFileSize = 4u * 1024u * 1024u;

// The text after the first "=" of sLine if the text before it equals sKey exactly; else empty.
std::string GetKeyValue(const std::string& sLine, const std::string& sKey);

// Reads the eight header lines from the start of file into header, field by field in line order.
// A conversion failure throws std::runtime_error ("'<value>' is not a valid integer value") and
// leaves the fields before it written and the later ones as they were. Past the end of the stream
// a line reads as empty. Returns true.
bool ReadFwFileHeader(std::istream& file, TBl3FileHeader& header);

// The whole of a firmware file, refused before any of it is parsed when it is not a regular file,
// is empty, larger than MaxFwFileSize or holds a NUL byte: std::runtime_error naming the file.
std::string ReadFwFileContent(const std::string& sFileName);

// The image lines of a firmware file's content, in file order, without their line ends.
std::vector<std::string> FwImageLines(const std::string& sContent);

// Loads the file into the file slot: header into FwFileHeader, image lines into FwFileLines,
// iFwIndex := 0. Before anything is taken the whole file is checked as an update would use it: no
// UTF-8 byte-order mark; bootloader 2 or 3; every image line a record that the HEX codec accepts;
// only 64-byte data records (at least one, at most one of them the vector-table line at 0x03DF),
// start-address records (types 3 and 5) and, as the last line and only there, the end record
// ":00000001FF". Each data record must lie inside one region of the flash layout of the header's
// platform (not checked for a platform without a layout) and must not write bytes that an earlier
// record wrote with other values. When the file cannot be read or fails a check: false with the
// reason in *psError (for a defect "line <n>: ...", n counting every line of the file from 1; for
// a file whose header cannot be read and whose first line is no bootloader line, a text naming
// the file and the expected first line), FwFileLines empty, iFwIndex untouched, FwFileHeader with
// the fields read before the failure.
bool LoadFwFile(const std::string& sFileName, std::string* psError = nullptr);

// LoadFwFile for the content of sFileName that was read already (by ReadFwFileContent): the same
// checks, the same result; the name is for the messages.
bool LoadFwFileContent(const std::string& sFileName, const std::string& sContent,
                       std::string* psError = nullptr);

// Reads only the header into FwFileHeader, then iFwIndex := 0; FwFileLines stays as it is. The
// image is not checked; a file that is no firmware file is named as LoadFwFile names it. A failure
// throws std::runtime_error and leaves iFwIndex untouched.
void InspectFwFile(const std::string& sFileName);
