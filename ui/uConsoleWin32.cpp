#include "ui/uConsole.h"

#include <windows.h>

#include <cstdio>

void AttachParentConsole() {
    // A standard output that was redirected already has a target: keep it.
    const HANDLE hOut = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (hOut != nullptr && hOut != INVALID_HANDLE_VALUE)
        return;
    if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::FILE* pFile = nullptr;
        freopen_s(&pFile, "CONOUT$", "w", stdout);
        freopen_s(&pFile, "CONOUT$", "w", stderr);
    }
}

bool DisplayReachable(int, char**) {
    return true;
}
