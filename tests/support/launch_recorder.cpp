// Test helper: writes how it was started into the file named by its second
// argument: its first argument (the verb it stands for), then the window
// show state it was handed, or "none" when it was handed none.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3)
        return 2;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    const std::wstring show = (startup.dwFlags & STARTF_USESHOWWINDOW)
                                  ? std::to_wstring(startup.wShowWindow)
                                  : std::wstring(L"none");
    const std::wstring record = std::wstring(argv[1]) + L" " + show;
    const std::string bytes(record.begin(), record.end());
    const HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}
