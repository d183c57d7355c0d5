// Install root and the location queries.
#include "shellops/shellops.h"

#include "shellops/handles.h"

#include <shlobj.h>

const std::wstring kInstallRoot = L"C:\\ovikProgram";

namespace {

// The text of a zero-filled buffer up to its first NUL.
std::wstring TextUpToNul(const wchar_t* buffer) {
    return std::wstring(buffer);
}

}  // namespace

std::wstring GetParentPath(const std::wstring& path) {
    const std::wstring::size_type separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos)
        return path;
    return path.substr(0, separator);
}

std::wstring GetExecutableDirectory() {
    // A result of MAX_PATH means the path was cut to fit the buffer; the
    // parent of a cut path is some other folder than the executable's.
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    return GetParentPath(std::wstring(buffer, length));
}

std::wstring GetDesktopFolder() {
    PWSTR known = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_Desktop, KF_FLAG_CREATE, nullptr, &known);
    // The shell may hand back a string even on failure; it is always freed.
    UniqueCoTaskString owned(known);
    if (SUCCEEDED(hr) && owned)
        return std::wstring(owned.get());

    wchar_t buffer[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, buffer);
    return TextUpToNul(buffer);
}

std::wstring GetSystemFolder() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    return std::wstring(buffer, length);
}
