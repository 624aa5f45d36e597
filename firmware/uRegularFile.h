// Reading a whole regular file without ever waiting. Opening a FIFO for reading waits for a
// writer and opening a device may act on it, so anything but a regular file is refused before a
// byte of it is read.
#pragma once

#include <cstdint>
#include <string>

enum class TFileReadState {
    Read,       // sContent holds the whole file
    Missing,    // there is no such file
    Folder,     // a folder
    NotRegular, // a FIFO, a device, a socket, ...
    TooLarge,   // more than the limit, by its size or while it was read
    Failed,     // the system could not open or read it: sError says why
};

struct TFileRead {
    TFileReadState state = TFileReadState::Failed;
    std::string sContent;
    std::string sError;
};

// The whole of sFileName if it is a regular file of at most iMaxSize bytes. One implementation per
// platform.
TFileRead ReadRegularFile(const std::string& sFileName, std::uintmax_t iMaxSize);
