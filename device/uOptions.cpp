#include "device/uOptions.h"

bool bCheckClass = true;
bool bCheckFamily = true;
bool bCheckPlatform = true;
bool bFormatMemory = false;
std::int32_t iFileMode = 0;
bool bReadInfoOnly = false;
bool bReadInfoSupported = false;
