// The Windows Sandbox configuration that runs the check on a throw-away
// copy of the host's Windows.
#pragma once

#include <string>

// Writes RESULTS_DIR\ovik-check.wsb (made with its folder when missing):
// `release` mapped read-only at C:\ovik-check\release, `results` writable at
// C:\ovik-check\results, and check.cmd of the kit inside the release started
// at logon. Windows Sandbox takes only absolute host paths, so both are made
// absolute first. Returns the file's path, or empty with the reason in `why`.
std::wstring WriteSandboxConfig(const std::wstring& release, const std::wstring& results,
                                std::string& why);
