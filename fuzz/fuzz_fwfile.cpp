// The firmware file reader on arbitrary bytes: the header reader on a stream, and loading and
// inspecting the same bytes as a file. Whatever the bytes, the reader ends in a result or a
// std::runtime_error, the file slot ends as its contract says, and a loaded image is one that the
// update can send as it is.
#include "firmware/uFWVersions.h"
#include "firmware/uFwFile.h"
#include "hexline/uConvert1V0.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

void Check(bool b) {
    if (!b)
        std::abort();
}

// One file per fuzzing process, rewritten for every input and removed at exit. It lives in shared
// memory where there is some: on a disk the writes would cost most of the run time.
class TScratchFile {
public:
    TScratchFile()
        : FPath(Folder() / ("kelvo-fuzz-fwfile-" + std::to_string(::getpid()) + ".kfw")) {}
    ~TScratchFile() {
        std::error_code ec;
        fs::remove(FPath, ec);
    }
    TScratchFile(const TScratchFile&) = delete;
    TScratchFile& operator=(const TScratchFile&) = delete;

    std::string Write(const std::string& sContent) const {
        std::ofstream file(FPath, std::ios::binary | std::ios::trunc);
        file << sContent;
        file.close();
        Check(!file.fail());
        return FPath.string();
    }

private:
    static fs::path Folder() {
        std::error_code ec;
        return fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    }

    fs::path FPath;
};

// The image lines as the file format defines them, worked out independently of the reader.
std::vector<std::string> ImageLines(const std::string& sContent) {
    std::vector<std::string> aLines;
    std::size_t iStart = 0;
    while (iStart < sContent.size()) {
        std::size_t iEnd = sContent.find('\n', iStart);
        if (iEnd == std::string::npos)
            iEnd = sContent.size();
        std::string sLine = sContent.substr(iStart, iEnd - iStart);
        if (!sLine.empty() && sLine.back() == '\r')
            sLine.pop_back();
        if (sLine.find('=') == std::string::npos)
            aLines.push_back(sLine);
        iStart = iEnd + 1;
    }
    return aLines;
}

// What the update needs of a loaded image: bootloader 2 or 3; lines that the codec accepts, the
// last one the end record; only 64-byte data records (at least one, one vector-table line at most)
// and start-address records before it.
bool CanBeSent(const TBl3FileHeader& header, const std::vector<std::string>& aLines) {
    if ((header.quarn_bl != 2 && header.quarn_bl != 3) || aLines.size() < 2 ||
        aLines.back() != ":00000001FF")
        return false;
    int iData = 0;
    int iVector = 0;
    for (std::size_t i = 0; i + 1 < aLines.size(); ++i) {
        const THexLineResult parsed = ParseHexLine(aLines[i]);
        if (!parsed.Ok())
            return false;
        const THexRec& rec = parsed.rec;
        if (rec.RecType == 0 && rec.Count == 64) {
            ++iData;
            iVector += rec.Address() == 0x03DF ? 1 : 0;
        } else if (rec.RecType != 3 && rec.RecType != 5) {
            return false;
        }
    }
    return iData >= 1 && iVector <= 1;
}

// A header that no input produces in full, so that every field the reader writes shows.
TBl3FileHeader Marker() {
    return TBl3FileHeader{1111, 2222, 3333, 4444, 5555, "marker", 6666, 7777};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t iSize) {
    static const TScratchFile scratch;
    const std::string sContent(reinterpret_cast<const char*>(pData), iSize);

    // The header from a stream: a result or a runtime_error, and the fields read before a failure.
    TBl3FileHeader streamHeader = Marker();
    bool bHeaderOk = true;
    try {
        std::istringstream stream(sContent);
        Check(ReadFwFileHeader(stream, streamHeader));
    } catch (const std::runtime_error&) {
        bHeaderOk = false;
    }

    // A file the reader reads: not empty, no NUL byte (text). It loads only when its header
    // converts and its image passes the checks of the load.
    const bool bText = !sContent.empty() && sContent.find('\0') == std::string::npos;
    const std::string sPath = scratch.Write(sContent);

    FwFileHeader = Marker();
    FwFileLines = {"left over"};
    iFwIndex = -1;
    std::string sError;
    const bool bLoaded = LoadFwFile(sPath, &sError);
    Check(!bLoaded || (bText && bHeaderOk));
    Check(FwFileHeader == (bText ? streamHeader : Marker()));
    if (bLoaded) {
        Check(iFwIndex == 0);
        Check(FwFileLines == ImageLines(sContent));
        Check(GetFwLastIndex(0) == static_cast<std::int32_t>(FwFileLines.size()) - 1);
        Check(CanBeSent(FwFileHeader, FwFileLines));
    } else {
        Check(iFwIndex == -1 && FwFileLines.empty() && !sError.empty());
        // A readable text with a good header is refused for a defect at a line.
        if (bText && bHeaderOk)
            Check(sError.starts_with("line "));
    }

    // Inspecting reads the same header, leaves the lines alone and throws only runtime_error.
    FwFileHeader = Marker();
    FwFileLines = {"kept"};
    iFwIndex = -1;
    bool bInspected = true;
    try {
        InspectFwFile(sPath);
    } catch (const std::runtime_error&) {
        bInspected = false;
    }
    Check(bInspected == (bText && bHeaderOk));
    Check(FwFileHeader == (bText ? streamHeader : Marker()));
    Check(FwFileLines == std::vector<std::string>{"kept"});
    Check(iFwIndex == (bInspected ? 0 : -1));
    return 0;
}
