#include "tests/support/scratch.h"

#include "checkkit/text.h"
#include "shellops/shellops.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <vector>

bool IsInsideTestPrefix() {
    return IsRunningUnderWine() && PathExists(L"C:\\ovik-test-prefix");
}

bool MakeFolder(const std::wstring& path) {
    return CreateDirectoryW(path.c_str(), nullptr) != 0;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

namespace {

// Starts a host program (see HostProgram). Wine may report such a program as
// ended before it has done its work, so callers poll for the effect they
// expect.
bool RunHostProgram(const wchar_t* name, std::wstring commandLine) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(HostProgram(name).c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &si, &pi))
        return false;
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// Polls up to 10 s until `path` exists (or, with `exists` false, is gone).
bool WaitForPath(const std::wstring& path, bool exists) {
    for (int i = 0; i < 200; ++i) {
        if (PathExists(path) == exists)
            return true;
        Sleep(50);
    }
    return false;
}

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Extended-length form, so tear-down also reaches entries past MAX_PATH.
std::wstring Extended(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0)
        return path;
    return L"\\\\?\\" + path;
}

void DeleteExtended(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = path + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                // A host symlink cannot be removed from Windows; unlink it on the host.
                if (!RemoveDirectoryW(child.c_str()) && !DeleteFileW(child.c_str())) {
                    const std::string host = HostPath(child.substr(4));
                    if (!host.empty() && RunHostProgram(L"rm", L"rm -f \"" + Widen(host) + L"\""))
                        WaitForPath(child, false);
                }
            } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteExtended(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
}

}  // namespace

void DeleteScratchTree(const std::wstring& path) {
    if (path.empty())
        return;
    const DWORD attributes = GetFileAttributesW(Extended(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(Extended(path).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(Extended(path).c_str());
        return;
    }
    DeleteExtended(Extended(path));
}

std::wstring MakeScratchFolder(const std::wstring& name) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring base = temp;
    if (!base.empty() && base.back() == L'\\')
        base.pop_back();
    base += L"\\ovik-tests";
    CreateDirectoryW(base.c_str(), nullptr);
    std::wstring folder = base + L"\\" + name;
    DeleteScratchTree(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

std::string HostPath(const std::wstring& windowsPath) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix)
        return std::string();
    char* unixPath = toUnix(windowsPath.c_str());
    if (!unixPath)
        return std::string();
    std::string result = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}

std::wstring WindowsPathOfHost(const std::wstring& hostPath) {
    using ToDos = wchar_t*(CDECL*)(const char*);
    const auto toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (!toDos)
        return std::wstring();
    const std::string unixPath = Narrow(hostPath);
    wchar_t* dosPath = toDos(unixPath.c_str());
    if (!dosPath)
        return std::wstring();
    // A path on no drive comes back as \\?\unix\...; only a drive's path counts.
    std::wstring result = dosPath;
    HeapFree(GetProcessHeap(), 0, dosPath);
    return result.size() > 2 && result[1] == L':' ? result : std::wstring();
}

std::wstring HostProgram(const std::wstring& name) {
    return L"H:\\" + name;
}

bool MakeHostSymlink(const std::wstring& target, const std::wstring& link) {
    const std::string hostTarget = HostPath(target);
    const std::string hostLink = HostPath(link);
    if (hostTarget.empty() || hostLink.empty())
        return false;
    if (!RunHostProgram(L"ln",
                        L"ln -s \"" + Widen(hostTarget) + L"\" \"" + Widen(hostLink) + L"\""))
        return false;
    return WaitForPath(link, true);
}

bool RemoveHostSymlink(const std::wstring& link) {
    const std::string hostLink = HostPath(link);
    return !hostLink.empty() && RunHostProgram(L"rm", L"rm -f \"" + Widen(hostLink) + L"\"") &&
           WaitForPath(link, false);
}

bool PlatformEnforcesReadOnly(const std::wstring& scratch) {
    const std::wstring probe = scratch + L"\\read-only-probe";
    WriteBytes(probe, "x");
    SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_READONLY);
    const HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool enforced = file == INVALID_HANDLE_VALUE;
    if (!enforced)
        CloseHandle(file);
    SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(probe.c_str());
    return enforced;
}

std::wstring BesideTestProgram(const std::wstring& fileName) {
    return GetExecutableDirectory() + L"\\" + fileName;
}

namespace {

std::vector<DWORD> ProcessIdsNamed(const std::wstring& imageName) {
    std::vector<DWORD> ids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (CompareStringOrdinal(entry.szExeFile, -1, imageName.c_str(), -1, TRUE) == CSTR_EQUAL)
            ids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return ids;
}

}  // namespace

int CountProcessesNamed(const std::wstring& imageName) {
    return static_cast<int>(ProcessIdsNamed(imageName).size());
}

int KillProcessesNamed(const std::wstring& imageName) {
    int killed = 0;
    for (const DWORD id : ProcessIdsNamed(imageName)) {
        const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (!process)
            continue;
        if (TerminateProcess(process, 1)) {
            WaitForSingleObject(process, 5000);
            ++killed;
        }
        CloseHandle(process);
    }
    return killed;
}
