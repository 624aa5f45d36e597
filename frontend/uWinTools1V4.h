// Command-line options of the form key:value.
#pragma once

#include <string>
#include <vector>

// True when sParam begins with sKey, letters A-Z compared without regard to case.
bool CmdLineKeyMatches(const std::string& sParam, const std::string& sKey);

// The value of the first parameter whose head matches sKey (the key including its colon; letters
// A-Z compared without regard to case) and that is longer than the key; sDefault when none does.
// aParams are the parameters after the program's path. The value is cut to 1,000 characters.
std::string GetCmdLineValue(const std::vector<std::string>& aParams, const std::string& sKey,
                            const std::string& sDefault);
