// The serial ports of USB virtual COM port devices, as the port box offers them.
#pragma once

#include <string>
#include <vector>

// Windows: the ports of HKLM "hardware\devicemap\serialcomm" whose device name begins with
// "\device\vcp" (any case), in the registry's order. Elsewhere: the USB serial devices ttyUSB*
// and ttyACM* of sDevDir, in natural order (ttyUSB2 before ttyUSB10), as paths. sDevDir is
// ignored on Windows.
void ListComPorts(std::vector<std::string>& aList, const std::string& sDevDir = "/dev");
