// The stand-in program that ovik-check.exe carries and writes into its probe
// medium under several names. As startClass.exe it is the client: it stays
// running until it is ended. Under any other name it is a program planted
// beside setup.exe with a system tool's name (regsvr32.exe, cmd.exe,
// taskkill.exe), which must never run: it records that it did, with its
// command line, and ends without doing anything else. Plain Win32 without
// the C++ library, so that it adds little to the kit.
#include "checkkit/probe_standin.h"

#include <windows.h>
#include <shlobj.h>

namespace {

// "<public folder>\ovik-check-planted\<name>.txt", or false when it does not fit.
bool MarkerPath(const wchar_t* name, wchar_t (&path)[MAX_PATH]) {
    wchar_t* publicFolder = nullptr;
    const bool found = SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Public, 0, nullptr, &publicFolder));
    const bool fits =
        found &&
        lstrlenW(publicFolder) + lstrlenW(kPlantedMarkerFolder) + lstrlenW(name) + 6 < MAX_PATH;
    if (fits) {
        lstrcpyW(path, publicFolder);
        lstrcatW(path, kPlantedMarkerFolder);
        CreateDirectoryW(path, nullptr);
        lstrcatW(path, L"\\");
        lstrcatW(path, name);
        lstrcatW(path, L".txt");
    }
    CoTaskMemFree(publicFolder);
    return fits;
}

void RecordRun(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    if (!MarkerPath(name, path))
        return;
    // Appended to, so that every run shows.
    const HANDLE marker = CreateFileW(path, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE)
        return;
    char commandLine[4096] = {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, commandLine,
                                           sizeof commandLine, nullptr, nullptr);
    DWORD written = 0;
    if (length > 1) {
        commandLine[length - 1] = '\n';
        WriteFile(marker, commandLine, static_cast<DWORD>(length), &written, nullptr);
    }
    CloseHandle(marker);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    const wchar_t* name = path;
    for (const wchar_t* at = path; *at; ++at) {
        if (*at == L'\\')
            name = at + 1;
    }
    if (CompareStringOrdinal(name, -1, kStandInClientName, -1, TRUE) == CSTR_EQUAL) {
        Sleep(kStandInClientLifeMs);
        return 0;
    }
    RecordRun(name);
    return 0;
}
