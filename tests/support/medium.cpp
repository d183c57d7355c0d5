#include "tests/support/medium.h"

#include "sample/capture/capture_registration.h"
#include "shellops/shellops.h"
#include "tests/support/scratch.h"

#include <shellapi.h>

#include <cstdio>

bool RefusesToRunHere() {
    if (IsInsideTestPrefix())
        return false;
    std::printf(
        "Refusing to run: not inside the test prefix of this build. These tests\n"
        "install to C:\\ovikProgram and the desktop, so they run only there.\n");
    return true;
}

std::wstring BuiltMediumFolder() {
    return GetParentPath(GetExecutableDirectory()) + L"\\medium";
}

bool StageMedium(const std::wstring& medium, const std::wstring& stage) {
    DeleteScratchTree(stage);
    // The shell's own copy, so the tests do not depend on the code under test.
    const std::wstring from = medium + L"\\*" + L'\0';
    const std::wstring to = stage + L'\0';
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_COPY;
    operation.pFrom = from.c_str();
    operation.pTo = to.c_str();
    operation.fFlags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI | FOF_SILENT;
    return SHFileOperationW(&operation) == 0 && !operation.fAnyOperationsAborted && IsFolder(stage);
}

void ResetInstallState() {
    KillProcessesNamed(L"startClass.exe");
    // A process that just ended (the client, an elevated script) may let go
    // of its files a moment later; try again for up to 5 s.
    for (int attempt = 0; attempt < 50 && PathExists(kInstallRoot); ++attempt) {
        if (attempt > 0)
            Sleep(100);
        DeleteScratchTree(kInstallRoot);
    }
    DeleteFileW(ShortcutPath().c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kSampleCaptureClsidKey);
    RegDeleteKeyW(HKEY_CLASSES_ROOT, kSampleCaptureClsidKey);
}

std::wstring RegisteredCapturePath() {
    const std::wstring key = std::wstring(kSampleCaptureClsidKey) + L"\\InprocServer32";
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS)
        return std::wstring();
    return value;
}

bool IsCaptureRegistered() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kSampleCaptureClsidKey, 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::wstring ShortcutPath() {
    return GetDesktopFolder() + kShortcutFile;
}

HANDLE StartProgram(const std::wstring& path) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + path + L"\"";
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        GetParentPath(path).c_str(), &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    WaitForInputIdle(process.hProcess, 10000);
    return process.hProcess;
}
