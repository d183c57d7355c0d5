// Test helper: sleeps for the number of milliseconds given as its argument.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    Sleep(argc > 1 ? static_cast<DWORD>(wcstoul(argv[1], nullptr, 10)) : 1000);
    return 0;
}
