// Entry of the workflow tests. The workflows install from the parent of the
// running program's folder, so the program first stages the sample medium at
// C:\ovik-test-medium with a copy of itself in its Installer folder, and runs
// the tests from there. Outside this build's test prefix it touches nothing.
#include "shellops/shellops.h"
#include "tests/support/medium.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

bool RunsFromStagedMedium() {
    const std::wstring here = GetExecutableDirectory();
    const std::wstring staged = std::wstring(kStagedMedium) + L"\\Installer";
    return CompareStringOrdinal(here.c_str(), -1, staged.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Runs the staged copy with this program's arguments and hands on its exit code.
int RunStagedCopy() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring selfPath = self;
    const std::wstring name = selfPath.substr(selfPath.find_last_of(L'\\') + 1);
    const std::wstring staged = std::wstring(kStagedMedium) + L"\\Installer\\" + name;
    if (!StageMedium(BuiltMediumFolder(), kStagedMedium) ||
        !CopyFileW(self, staged.c_str(), FALSE)) {
        std::fprintf(stderr, "could not stage the sample medium at C:\\ovik-test-medium\n");
        return 1;
    }
    // Same command line, other program.
    std::wstring arguments = GetCommandLineW();
    size_t skip = 0;
    if (!arguments.empty() && arguments[0] == L'"')
        skip = arguments.find(L'"', 1) + 1;
    else
        skip = arguments.find(L' ');
    std::wstring commandLine =
        L"\"" + staged + L"\"" + (skip == std::wstring::npos ? L"" : arguments.substr(skip));

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(staged.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
        std::fprintf(stderr, "could not start the staged test program\n");
        return 1;
    }
    CloseHandle(process.hThread);
    DWORD exitCode = 1;
    if (WaitForSingleObject(process.hProcess, 15 * 60 * 1000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    else
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (RefusesToRunHere())
        return 0;
    if (!RunsFromStagedMedium())
        return RunStagedCopy();
    return RUN_ALL_TESTS();
}
