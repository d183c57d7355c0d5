// The sample medium and the fixed install state, for tests that run the
// workflows or the real installer inside the test prefix.
#pragma once

#include <windows.h>

#include <string>

// Where the tests stage a medium: C:\ovik-test-medium, with the running
// test program in its Installer folder.
inline constexpr wchar_t kStagedMedium[] = L"C:\\ovik-test-medium";

// True, after saying why on stdout, when this process is not inside the
// test prefix of this build: the test programs that install then run nothing.
bool RefusesToRunHere();

// The sample medium that the build assembled (build tree's "medium").
std::wstring BuiltMediumFolder();

// Replaces `stage` with a copy of the folder `medium`. True on success.
bool StageMedium(const std::wstring& medium, const std::wstring& stage);

// Brings the prefix back to "never installed": ends running clients,
// removes C:\ovikProgram, the desktop shortcut and the sample library's
// registration. Only call inside the test prefix.
void ResetInstallState();

// Whether the sample library's class is registered, and the server path.
bool IsCaptureRegistered();
std::wstring RegisteredCapturePath();

// The desktop shortcut's full path.
std::wstring ShortcutPath();

// Starts a program and waits until it is idle; returns its process handle.
HANDLE StartProgram(const std::wstring& path);
