// A stand-in named taskkill.exe that the end-to-end tests plant beside the
// installer. It ends nothing: it only writes its command line to a marker
// file, so a test can tell whether anybody ran it.
#include "tests/e2e/planted_marker.h"

#include <windows.h>

int main() {
    const HANDLE marker = CreateFileW(kPlantedMarker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE)
        return 1;
    char commandLine[4096] = {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, commandLine,
                                           sizeof commandLine, nullptr, nullptr);
    DWORD written = 0;
    if (length > 1)
        WriteFile(marker, commandLine, static_cast<DWORD>(length - 1), &written, nullptr);
    CloseHandle(marker);
    return 0;
}
