// The probe: after the release's own medium, the check writes a small medium
// of its own into the writable folder C:\ovik-probe, with setup.exe from the
// drive and an entry of every kind a client may hold, and drives the
// installer through what the release's medium cannot show: an install from a
// writable medium (attributes kept, none gained), a second install over the
// first (answered No, then Yes), an uninstall while the client runs, and an
// install whose copy fails. Programs named like system tools lie beside
// setup.exe there and must never run.
#pragma once

#include "checkkit/checks.h"
#include "checkkit/report.h"

#include <vector>

// Runs the probe's checks in order, one result each, after the release's
// checks (`before`). Expects a drive and C:\ovikProgram gone (the release's
// uninstall worked); otherwise every probe check is skipped, saying why.
// Removes the probe medium again, and the install root that the failing
// copy leaves.
std::vector<CheckResult> RunProbeChecks(const CheckSetup& setup,
                                        const std::vector<CheckResult>& before);
