// What the installer hands to the platform on one path of a workflow, as the
// probe recorded it inside the installer's process: each message box's type
// and owner, each launch (file, parameters, verb, show state, working folder,
// mask, window) and how long the installer waits for it, and each pause, in
// the order they came, against checkkit/expected.h.
#pragma once

#include "checkkit/check_run.h"
#include "checkkit/workflow_checks.h"

// The record since StartCallRecord against `calls`: one problem per step
// that differs, is missing or was not expected. `record`, when given,
// receives every recorded call (the security descriptors handed over too).
Problems CallRecordProblems(const InstallerProcess& installer,
                            const std::vector<ExpectedCall>& calls,
                            std::vector<ProbedEvent>* record = nullptr);
