// Reading a regular file on Windows: a status check before the file is opened keeps pipes and
// devices out.
#include "firmware/uRegularFile.h"

#include <array>
#include <filesystem>
#include <fstream>

namespace {

TFileRead Outcome(TFileReadState state, const std::string& sError = {}) {
    TFileRead r;
    r.state = state;
    r.sError = sError;
    return r;
}

} // namespace

TFileRead ReadRegularFile(const std::string& sFileName, std::uintmax_t iMaxSize) {
    namespace fs = std::filesystem;
    const fs::path path(sFileName);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found)
        return Outcome(TFileReadState::Missing);
    if (ec)
        return Outcome(TFileReadState::Failed, ec.message());
    if (fs::is_directory(status))
        return Outcome(TFileReadState::Folder);
    if (!fs::is_regular_file(status))
        return Outcome(TFileReadState::NotRegular);
    const std::uintmax_t iSize = fs::file_size(path, ec);
    if (!ec && iSize > iMaxSize)
        return Outcome(TFileReadState::TooLarge);

    std::ifstream file(path, std::ios::binary);
    if (!file)
        return Outcome(TFileReadState::Failed, "open failed");
    // Read in chunks up to the limit: a file that grew since the size check is refused too.
    TFileRead r = Outcome(TFileReadState::Read);
    std::array<char, 65536> aChunk{};
    while (file) {
        file.read(aChunk.data(), static_cast<std::streamsize>(aChunk.size()));
        r.sContent.append(aChunk.data(), static_cast<std::size_t>(file.gcount()));
        if (r.sContent.size() > iMaxSize)
            return Outcome(TFileReadState::TooLarge);
    }
    if (file.bad())
        return Outcome(TFileReadState::Failed, "read failed");
    return r;
}
