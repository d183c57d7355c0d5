// Start-up time of a GUI program: starts it, polls until its top-level
// window of the given class is visible, then asks it to close with WM_CLOSE.
//
// usage: startup_probe EXECUTABLE WINDOW-CLASS REPETITIONS
// Prints one line per repetition, "<seconds> <ok>": ok is 1 when the window
// appeared within the limit and the program then ended by itself.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr double kAppearLimitSeconds = 30.0;
constexpr DWORD kCloseLimitMs = 10000;

double SecondsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

// The visible window of `windowClass` that belongs to `processId`, or null.
HWND VisibleWindowOf(const wchar_t* windowClass, DWORD processId) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, windowClass, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId && IsWindowVisible(window))
            return window;
    }
    return nullptr;
}

bool ProbeOnce(const std::wstring& executable, const wchar_t* windowClass) {
    std::wstring commandLine = L"\"" + executable + L"\"";
    std::wstring folder = executable.substr(0, executable.find_last_of(L"\\/"));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};

    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &process)) {
        std::fwprintf(stderr, L"cannot start %ls (error %lu)\n", executable.c_str(),
                      GetLastError());
        std::printf("0 0\n");
        return false;
    }
    CloseHandle(process.hThread);

    HWND window = nullptr;
    double elapsed = 0.0;
    bool exitedEarly = false;
    // Waiting on the process doubles as the 1 ms poll interval.
    while (!(window = VisibleWindowOf(windowClass, process.dwProcessId))) {
        if (WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0) {
            exitedEarly = true;
            break;
        }
        if (SecondsSince(start) > kAppearLimitSeconds)
            break;
    }
    elapsed = SecondsSince(start);

    bool closed = false;
    if (window) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        closed = WaitForSingleObject(process.hProcess, kCloseLimitMs) == WAIT_OBJECT_0;
        if (!closed)
            std::fwprintf(stderr, L"the window did not close within %lu ms\n", kCloseLimitMs);
    } else {
        std::fwprintf(stderr, exitedEarly ? L"the program ended without a visible window\n"
                                          : L"no visible window within the limit\n");
    }
    if (!closed)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    std::printf("%.6f %d\n", elapsed, window && closed ? 1 : 0);
    return window && closed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fwprintf(stderr, L"usage: startup_probe EXECUTABLE WINDOW-CLASS REPETITIONS\n");
        return 2;
    }
    const unsigned repetitions = static_cast<unsigned>(wcstoul(argv[3], nullptr, 10));
    bool allOk = true;
    for (unsigned i = 0; i < repetitions; ++i) {
        allOk = ProbeOnce(argv[1], argv[2]) && allOk;
        std::fflush(stdout);
    }
    return allOk ? 0 : 1;
}
