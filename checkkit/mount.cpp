#include "checkkit/mount.h"

#include "checkkit/driver/files.h"
#include "shellops/handles.h"

#include <windows.h>
#include <shellapi.h>

namespace {

// The CD-ROM drives that hold Installer\setup.exe, as a bit per letter.
DWORD MediumDrives() {
    DWORD found = 0;
    const DWORD present = GetLogicalDrives();
    for (int letter = 0; letter < 26; ++letter) {
        if (!(present & (1u << letter)))
            continue;
        const std::wstring root = std::wstring(1, static_cast<wchar_t>(L'A' + letter)) + L":";
        if (GetDriveTypeW((root + L"\\").c_str()) == DRIVE_CDROM &&
            PathExists(root + L"\\Installer\\setup.exe"))
            found |= 1u << letter;
    }
    return found;
}

std::wstring SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = text ? text : L"";
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
        message.pop_back();
    return L"error " + std::to_wstring(error) + (message.empty() ? L"" : L": " + message);
}

}  // namespace

std::wstring MountImage(const std::wstring& image, std::wstring& why) {
    // A local copy: the shell does not mount images that lie on a mapped or
    // network folder (the sandbox's view of the host) or are marked sparse.
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"ovik-check";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring copy = folder + image.substr(image.find_last_of(L"\\/"));
    if (!CopyFileW(image.c_str(), copy.c_str(), FALSE)) {
        why = L"cannot copy " + image + L" to " + copy + L" (" + SystemMessage(GetLastError()) +
              L"); if an earlier run left that copy mounted, give its drive with --drive";
        return std::wstring();
    }

    const DWORD before = MediumDrives();
    // The Mount verb belongs to a shell extension, which needs COM on this thread.
    const ComApartment com;
    SHELLEXECUTEINFOW execute = {};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_INVOKEIDLIST;
    execute.lpVerb = L"mount";
    execute.lpFile = copy.c_str();
    execute.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&execute)) {
        const DWORD error = GetLastError();
        DeleteFileW(copy.c_str());
        why = L"the shell's Mount verb failed for " + copy + L" (" + SystemMessage(error) + L")" +
              (IsRunningUnderWine() ? L"; Wine cannot mount images" : L"") +
              L". Mount the image by hand (double-click it) and run the check again with "
              L"--drive and the drive it shows";
        return std::wstring();
    }
    const ULONGLONG end = NowMs() + 60000;
    while (NowMs() < end) {
        const DWORD added = MediumDrives() & ~before;
        for (int letter = 0; letter < 26; ++letter) {
            if (added & (1u << letter))
                return std::wstring(1, static_cast<wchar_t>(L'A' + letter)) + L":";
        }
        Sleep(250);
    }
    why = L"the shell mounted " + copy +
          L" but no new CD-ROM drive with Installer\\setup.exe appeared within 60 s";
    return std::wstring();
}
