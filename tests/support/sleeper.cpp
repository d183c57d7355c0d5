// Test helper: sleeps for the number of milliseconds given as its argument,
// until the monotonic clock says they have passed, and tells in its exit code
// whether a Sleep came back early, so that a caller whose wait ended too soon
// can tell this helper's fault from its own:
//   0  slept in one go
//   3  a Sleep came back early and the rest was slept
#include <windows.h>

#include <cwchar>

namespace {

ULONGLONG MonotonicMs(const LARGE_INTEGER& start, const LARGE_INTEGER& frequency) {
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return static_cast<ULONGLONG>(now.QuadPart - start.QuadPart) * 1000 /
           static_cast<ULONGLONG>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const ULONGLONG wanted = argc > 1 ? wcstoul(argv[1], nullptr, 10) : 1000;
    LARGE_INTEGER frequency = {};
    LARGE_INTEGER start = {};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    int code = 0;
    bool slept = false;
    for (ULONGLONG elapsed = 0; elapsed < wanted; elapsed = MonotonicMs(start, frequency)) {
        // A millisecond or two short is the wall clock's granularity.
        if (slept && wanted - elapsed > 50)
            code = 3;
        Sleep(static_cast<DWORD>(wanted - elapsed));
        slept = true;
    }
    return code;
}
