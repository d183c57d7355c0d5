// The checks of one release on one disposable machine: the medium drive
// against the release's medium folder, then an install from that drive driven
// by window messages, what it left, an uninstall, and what that removed.
#pragma once

#include "checkkit/report.h"

#include <windows.h>

#include <string>
#include <vector>

struct CheckSetup {
    std::wstring drive;         // "D:", the release's image as Windows shows it
    std::string driveProblem;   // why there is no drive, when `drive` is empty
    std::wstring medium;        // the release's medium folder
    std::wstring results;       // where the pictures go
    std::wstring probeLibrary;  // the probe library, written out for this run
    DWORD boxTimeoutMs = 0;     // how long a person may take over an elevation prompt
};

// Runs every check in order and returns one result per check. Expects that
// C:\ovikProgram does not exist; leaves the machine without it again when
// the uninstall works.
std::vector<CheckResult> RunChecks(const CheckSetup& setup);
