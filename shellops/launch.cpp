// The registration scripts, their ANSI file format, and the elevated launch.
#include "shellops/shellops.h"

#include "shellops/handles.h"

#include <shellapi.h>

std::wstring ComposeRegisterScript(const std::wstring& libraryPath) {
    return L"regsvr32 \"" + libraryPath + L"\"\r\n";
}

std::wstring ComposeUnregisterScript(const std::wstring& libraryPath) {
    return L"regsvr32 /u \"" + libraryPath + L"\"\r\n";
}

namespace {

// `text` in the ANSI code page, without its terminating NUL. False when the
// conversion yields no size.
bool ToAnsi(const std::wstring& text, std::string& bytes) {
    // The size counts the terminating NUL.
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size < 1)
        return false;
    bytes.assign(static_cast<size_t>(size), '\0');
    // Characters the code page lacks become its default character.
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    bytes.resize(static_cast<size_t>(size - 1));
    return true;
}

}  // namespace

bool WriteAnsiTextFile(const std::wstring& path, const std::wstring& text) {
    std::string bytes;
    if (!ToAnsi(text, bytes))
        return false;
    const DWORD length = static_cast<DWORD>(bytes.size());

    UniqueHandle file = MakeUniqueHandle(CreateFileW(
        path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), length, &written, nullptr);
    return written == length;
}

HANDLE OpenForReadDenyWrite(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    // The handle goes to the caller, who owns it (see the header).
    // cppcheck-suppress resourceLeak
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

bool FileHoldsAnsiText(HANDLE file, const std::wstring& text) {
    std::string expected;
    if (!ToAnsi(text, expected))
        return false;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size) || size.QuadPart != static_cast<LONGLONG>(expected.size()))
        return false;
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return false;
    std::string actual(expected.size(), '\0');
    DWORD got = 0;
    if (!expected.empty() &&
        !ReadFile(file, actual.data(), static_cast<DWORD>(actual.size()), &got, nullptr))
        return false;
    return got == actual.size() && actual == expected;
}

void RunElevatedAndWait(const std::wstring& file, const std::wstring& parameters,
                        DWORD waitLimitMs) {
    SHELLEXECUTEINFOW request = {};
    request.cbSize = sizeof(request);
    request.fMask = SEE_MASK_NOCLOSEPROCESS;
    request.lpVerb = L"runas";
    request.lpFile = file.c_str();
    request.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    // The command interpreter looks for a command such as "regsvr32" in its
    // working folder before the system folder; left to inherit ours (the
    // medium's Installer folder, or wherever the installer was started
    // from), a planted regsvr32.exe there would run elevated.
    const std::wstring systemFolder = GetSystemFolder();
    request.lpDirectory = systemFolder.empty() ? nullptr : systemFolder.c_str();
    request.nShow = SW_HIDE;
    // A declined elevation prompt fails the call like a file that cannot start.
    if (!ShellExecuteExW(&request))
        return;
    UniqueHandle process(request.hProcess);
    if (process)
        WaitForSingleObject(process.get(), waitLimitMs);
}
