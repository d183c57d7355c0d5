// Scratch folders, small file helpers and host facts for the tests.
#pragma once

#include "checkkit/driver/files.h"

#include <windows.h>

#include <string>
#include <vector>

// True only inside the prefix that this build's test session created: under
// Wine, with the session's marker file on C:. Tests that touch the fixed
// install root or the desktop refuse to run anywhere else.
bool IsInsideTestPrefix();

// A fresh, empty folder for one test: %TEMP%\ovik-tests\<name>.
std::wstring MakeScratchFolder(const std::wstring& name);

// Deletes a scratch tree by any means (long paths included); for tear-down.
void DeleteScratchTree(const std::wstring& path);

bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool MakeFolder(const std::wstring& path);

// The host (Linux) path of a Windows path, under Wine; empty elsewhere.
std::string HostPath(const std::wstring& windowsPath);

// The Windows path of a host path: on the drive of the test session that
// maps the deepest folder holding it (W: the build tree). Empty when no drive
// holds it, and outside Wine.
std::wstring WindowsPathOfHost(const std::wstring& hostPath);

// A host program that tests may start, as the session's drive H: shows it
// (rm, ln and wine are linked there): HostProgram(L"rm") is H:\rm. No drive
// shows the host's root.
std::wstring HostProgram(const std::wstring& name);

// Makes `link` a host symbolic link to the folder or file `target` (both
// Windows paths), which Wine shows as a linked folder. Under Wine only.
bool MakeHostSymlink(const std::wstring& target, const std::wstring& link);
// Removes such a link, leaving what it points to.
bool RemoveHostSymlink(const std::wstring& link);

// Whether this platform refuses writes to read-only files. Wine run as root
// does not (Unix permissions do not bind root); tests that depend on it skip.
bool PlatformEnforcesReadOnly(const std::wstring& scratch);

// Full path of a file next to the running test program.
std::wstring BesideTestProgram(const std::wstring& fileName);

// Ends every process whose image name is `imageName`; returns how many.
int KillProcessesNamed(const std::wstring& imageName);
int CountProcessesNamed(const std::wstring& imageName);
