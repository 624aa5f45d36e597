// The switches that steer an update. Written by the window thread at start-up and before a worker
// starts, never while one runs; the worker only reads them.
#pragma once

#include <cstdint>

extern bool bCheckClass;        // an image must be for the class in the update-ID block
extern bool bCheckFamily;       // a logger outside its bootloader must be of class 26113
extern bool bCheckPlatform;     // an image must be for the logger's platform
extern bool bFormatMemory;      // the update clears the logger's measurements (asks first)
extern std::int32_t iFileMode;  // 0 normal, 1 internal mode, 2 internal mode with firmware files
extern bool bReadInfoOnly;      // stop with status 70 once an image has been selected
extern bool bReadInfoSupported; // the device procedure can stop after reading the information
