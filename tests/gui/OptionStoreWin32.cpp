#include "tests/gui/GuiSupport.h"

#include <windows.h>

namespace {

constexpr const wchar_t* StoreKey = L"Software\\Orlenta\\Quarn";
constexpr const wchar_t* StoreValue = L"intern";

// Sets the value to iValue, or deletes it.
void WriteStore(const std::optional<std::uint32_t>& iValue) {
    HKEY hKey = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, StoreKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey,
                          nullptr) != ERROR_SUCCESS)
        return;
    if (iValue) {
        const DWORD i = *iValue;
        ::RegSetValueExW(hKey, StoreValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i),
                         sizeof i);
    } else {
        ::RegDeleteValueW(hKey, StoreValue);
    }
    ::RegCloseKey(hKey);
}

std::optional<std::uint32_t> ReadStore() {
    DWORD i = 0;
    DWORD iSize = sizeof i;
    if (::RegGetValueW(HKEY_CURRENT_USER, StoreKey, StoreValue, RRF_RT_REG_DWORD, nullptr, &i,
                       &iSize) != ERROR_SUCCESS)
        return std::nullopt;
    return i;
}

} // namespace

TOptionStore::TOptionStore(bool bInternal, long long iCode) {
    FiBefore = ReadStore();
    FiWritten =
        bInternal ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(iCode)) : std::nullopt;
    WriteStore(FiWritten);
}

TOptionStore::~TOptionStore() {
    // A store made after this one (a test replacing its store) owns the value now.
    if (ReadStore() == FiWritten)
        WriteStore(FiBefore);
}
