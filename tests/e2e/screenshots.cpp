#include "tests/e2e/screenshots.h"

#include "checkkit/text.h"

#include "tests/e2e/e2e_support.h"
#include "tests/support/medium.h"
#include "tests/support/scratch.h"

#include <cstdio>

namespace {

struct Tour {
    std::wstring hostFolder;
    std::wstring captureTool;
    int failures = 0;
};

// Saves the window's rectangle of the display as <name>.png. Wine may report
// a host program as ended before it has written its output, so the file is
// polled for.
void Capture(Tour& tour, HWND window, const wchar_t* name) {
    // Let the window finish painting.
    Sleep(800);
    RECT rect = {};
    GetWindowRect(window, &rect);
    const std::wstring file = tour.hostFolder + L"/" + name + L".png";
    wchar_t geometry[64];
    swprintf(geometry, 64, L"%ldx%ld+%ld+%ld", rect.right - rect.left, rect.bottom - rect.top,
             rect.left, rect.top);
    std::wstring commandLine =
        L"import -window root -crop " + std::wstring(geometry) + L" \"" + file + L"\"";
    DeleteFileW(WindowsPathOfHost(file).c_str());

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    bool written = false;
    if (CreateProcessW(WindowsPathOfHost(tour.captureTool).c_str(), commandLine.data(), nullptr,
                       nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        WaitForSingleObject(started.hProcess, 20000);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        for (int i = 0; i < 100 && !written; ++i) {
            Sleep(100);
            written = !ReadBytes(WindowsPathOfHost(file)).empty();
        }
    }
    std::printf("%s %s.png (%s)\n", written ? "saved" : "FAILED", Narrow(name).c_str(),
                Narrow(geometry).c_str());
    if (!written)
        ++tour.failures;
}

// Waits for the next box, pictures it when `name` is given, and answers it.
bool Answer(Tour& tour, const InstallerProcess& installer, int answer, const wchar_t* name) {
    const HWND box = WaitForMessageBox(installer.window, 90000);
    if (!box) {
        std::printf("FAILED: no box for %s\n", name ? Narrow(name).c_str() : "an answer");
        ++tour.failures;
        return false;
    }
    if (name)
        Capture(tour, box, name);
    ClickButton(GetDlgItem(box, answer));
    for (int i = 0; i < 500 && IsWindow(box); ++i)
        Sleep(20);
    return true;
}

void Walk(Tour& tour, const InstallerProcess& installer) {
    const HWND window = installer.window;
    Capture(tour, window, L"main-window");

    ClickButton(GetDlgItem(window, kUninstallButton));
    Answer(tour, installer, IDOK, L"box-not-found");

    ClickButton(GetDlgItem(window, kInstallButton));
    Answer(tour, installer, IDYES, L"box-register-question");
    Answer(tour, installer, IDOK, L"box-install-complete");

    ClickButton(GetDlgItem(window, kInstallButton));
    Answer(tour, installer, IDYES, L"box-overwrite-question");
    Answer(tour, installer, IDNO, nullptr);
    Answer(tour, installer, IDOK, nullptr);

    // A file held open without delete sharing keeps the install root.
    const HANDLE held = CreateFileW((kRoot + L"\\readme.txt").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ClickButton(GetDlgItem(window, kUninstallButton));
    Answer(tour, installer, IDOK, L"box-warning");
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);

    ClickButton(GetDlgItem(window, kUninstallButton));
    Answer(tour, installer, IDOK, L"box-uninstall-complete");

    // A plain file where the install root belongs cannot take the copy.
    WriteBytes(kRoot, "not a folder");
    ClickButton(GetDlgItem(window, kInstallButton));
    Answer(tour, installer, IDYES, nullptr);
    Answer(tour, installer, IDOK, L"box-copy-failed");
    DeleteFileW(kRoot.c_str());
}

}  // namespace

bool TakeScreenshots(const std::wstring& hostFolder, const std::wstring& captureTool) {
    if (captureTool.empty()) {
        std::printf("no --capture-tool given\n");
        return false;
    }
    // Both are reached through the session's drives (scripts/screenshots.sh
    // maps the folder and links the tool among the host programs).
    for (const std::wstring& hostPath : {hostFolder, captureTool}) {
        if (WindowsPathOfHost(hostPath).empty()) {
            std::printf("%s is on no drive of this prefix\n", Narrow(hostPath).c_str());
            return false;
        }
    }
    Tour tour{hostFolder, captureTool};
    ResetInstallState();
    if (!StageMedium(BuiltMediumFolder(), kE2eMedium)) {
        std::printf("could not stage the sample medium\n");
        return false;
    }
    {
        InstallerProcess installer;
        if (StartInstaller(kStagedInstaller, installer))
            Walk(tour, installer);
        else
            ++tour.failures;
        ClickButton(GetDlgItem(installer.window, kCancelButton));
        WaitForSingleObject(installer.process, 10000);
    }
    ResetInstallState();
    DeleteScratchTree(kE2eMedium);
    return tour.failures == 0;
}
