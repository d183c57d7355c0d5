// Whether the installer asks for elevation itself: it must not. It runs with
// the token of whoever started it, and only its registration and
// unregistration scripts are launched elevated.
#pragma once

#include "checkkit/check_run.h"
#include "checkkit/driver/installer_driver.h"

#include <string>

// What is wrong with the execution level that the manifest text `manifest`
// (UTF-8 XML) asks for: nothing for level="asInvoker" with uiAccess false or
// absent. A manifest without a level counts as asking for elevation, since
// Windows takes a program named setup.exe for an installer and elevates it.
Problems ExecutionLevelProblems(const std::string& manifest);

// The check "runs-as-invoker" is both of these.
// The execution level of `setupExe`'s manifest (RT_MANIFEST resource 1), as
// ExecutionLevelProblems; run also when the installer did not start, which
// on Windows is how one that asks for elevation ends when the kit starts it.
Problems ManifestProblems(const std::wstring& setupExe);
// The running `installer`'s token, read inside its process, against this
// process's: the same user, elevation type, elevation and integrity level.
Problems InstallerTokenProblems(const InstallerProcess& installer);
