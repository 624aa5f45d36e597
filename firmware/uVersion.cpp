#include "firmware/uVersion.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

struct TName {
    std::uint16_t iCode;
    const char* sName;
};

constexpr std::string_view Unknown = "?";

// Logger models and bootloaders. 26125 has no entry; 26135 and 26145 are named by print below.
constexpr TName ClassNames[] = {
    {26000, "Prototype"},
    {26113, "Kelvo model 26113"},
    {26114, "Kelvo model 26114"},
    {26115, "Kelvo model 26115"},
    {26116, "Kelvo model 26116"},
    {26117, "Kelvo model 26117"},
    {26118, "Kelvo model 26118"},
    {26119, "Kelvo model 26119"},
    {26120, "Kelvo model 26120"},
    {26121, "Kelvo model 26121"},
    {26122, "SD CARD"},
    {26123, "Kelvo model 26123"},
    {26124, "Kelvo model 26124"},
    {26126, "Kelvo model 26126"},
    {26127, "Kelvo model 26127"},
    {26128, "Kelvo model 26128"},
    {26129, "Kelvo model 26129"},
    {26130, "Kelvo model 26130"},
    {26131, "Kelvo model 26131"},
    {26132, "Kelvo model 26132"},
    {26133, "Kelvo model 26133"},
    {26134, "Kelvo model 26134"},
    {26136, "Kelvo model 26136"},
    {26137, "Kelvo model 26137"},
    {26138, "Kelvo model 26138"},
    {26139, "Kelvo model 26139"},
    {26140, "Kelvo model 26140"},
    {26141, "Kelvo model 26141"},
    {26142, "Kelvo model 26142"},
    {26143, "Kelvo model 26143"},
    {26144, "Kelvo model 26144"},
    {26146, "Kelvo model 26146"},
    {26147, "Kelvo model 26147"},
    {26148, "Kelvo model 26148"},
    {26149, "Kelvo model 26149"},
    {26150, "Kelvo model 26150"},
    {26151, "Kelvo model 26151"},
    {26152, "Kelvo model 26152"},
    {26153, "Kelvo model 26153"},
    {26154, "Kelvo model 26154"},
    {26155, "Kelvo model 26155"},
    {26156, "Kelvo model 26156"},
    {26157, "Kelvo model 26157"},
    {26158, "Kelvo model 26158"},
    {51200, "BL"},
    {51201, "BL2"},
    {51202, "BL3"},
};

// The two classes whose name depends on the board variant: print 38, print 39, any other print.
struct TClassByPrint {
    std::uint16_t iClass;
    const char* sPrint38;
    const char* sPrint39;
    const char* sOther;
};
constexpr TClassByPrint ClassByPrintNames[] = {
    {26135, "Kelvo model 26135 WLAN", "Kelvo model 26135 BLE", "Kelvo model 26135"},
    {26145, "Kelvo model 26145 WLAN", "Kelvo model 26145 BLE", "Kelvo model 26145"},
};

constexpr TName PlatformNames[] = {
    {0, "F1612 A"},          {1, "F1612 B"},    {2, "F2617 B"},        {3, "F1611 SD"},
    {4, "F1611 B"},          {5, "F1610 B"},    {6, "F1611 C"},        {7, "F2617 C"},
    {8, "F5528 A"},          {9, "F1611 D"},    {10, "F2274 A"},       {11, "F5340 SD"},
    {12, "F5328 A"},         {13, "F5419 A"},   {14, "F5438 A"},       {15, "F5438 WD"},
    {16, "F5328 B"},         {17, "F5328 C"},   {18, "NINA"},          {19, "BlueGiga"},
    {20, "Kelvo model X20"}, {21, "F5438 WD2"}, {65534, "F1611 C-SP"},
};

// Board variants; 41, 42 and every code above 44 have no entry.
constexpr TName PrintNames[] = {
    {0, "A0"},
    {1, "A1"},
    {2, "A2"},
    {3, "B3"},
    {4, "C1"},
    {5, "A3"},
    {6, "A5"},
    {7, "C2"},
    {8, "D1"},
    {9, "C3"},
    {10, "A6/A7/A8"},
    {11, "N1/2 Display"},
    {12, "Kelvo model P12"},
    {13, "PM0"},
    {14, "N1/2 DAC"},
    {15, "PB0"},
    {16, "E3"},
    {17, "B5"},
    {18, "A9b"},
    {19, "A10"},
    {20, "C5"},
    {21, "C6"},
    {22, "AR9"},
    {23, "PM3"},
    {24, "Kelvo model P24"},
    {25, "Kelvo model P25"},
    {26, "Kelvo model P26"},
    {27, "Kelvo model P27"},
    {28, "Kelvo model P28"},
    {29, "Kelvo model P29"},
    {30, "A9d"},
    {31, "NINA W1 UART"},
    {32, "NINA W1 SPI"},
    {33, "A10 WLAN UART"},
    {34, "A10 WLAN SPI"},
    {35, "NINA B3 UART"},
    {36, "BlueGiga UART"},
    {37, "A10e"},
    {38, "A10e WLAN UART"},
    {39, "A10e BLE UART"},
    {40, "Kelvo model P40"},
    {43, "Kelvo model P43"},
    {44, "A9e"},
};

template <std::size_t N> std::string Lookup(const TName (&aTable)[N], std::uint16_t iCode) {
    const auto it = std::find_if(std::begin(aTable), std::end(aTable),
                                 [iCode](const TName& n) { return n.iCode == iCode; });
    return std::string(it == std::end(aTable) ? Unknown : std::string_view(it->sName));
}

// A code is in its table exactly when its name is not "?".
std::uint16_t Checked(std::uint16_t iCode, const std::string& sName) {
    return sName == Unknown ? NoCode : iCode;
}

} // namespace

std::string GetClassName(std::uint16_t iClass, std::uint16_t iPrint) {
    for (const auto& c : ClassByPrintNames)
        if (c.iClass == iClass)
            return iPrint == 38 ? c.sPrint38 : (iPrint == 39 ? c.sPrint39 : c.sOther);
    return Lookup(ClassNames, iClass);
}

std::string GetPlatformName(std::uint16_t iPlatform) {
    return Lookup(PlatformNames, iPlatform);
}

std::string GetPrintName(std::uint16_t iPrint) {
    return Lookup(PrintNames, iPrint);
}

std::uint16_t CheckClass(std::uint16_t iClass) {
    return Checked(iClass, GetClassName(iClass, NoCode));
}

std::uint16_t CheckPlatform(std::uint16_t iPlatform) {
    return Checked(iPlatform, GetPlatformName(iPlatform));
}

std::uint16_t CheckPrint(std::uint16_t iPrint) {
    return Checked(iPrint, GetPrintName(iPrint));
}
