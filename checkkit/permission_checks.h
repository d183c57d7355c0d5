// Who may change what the installer leaves behind: the install root, the
// library it registers for the whole machine, the client every account
// starts and the scripts folder whose scripts run elevated. Only Windows
// keeps the security descriptors that say so.
#pragma once

#include "checkkit/driver/probe_protocol.h"
#include "checkkit/report.h"

#include <vector>

// The check "permissions": passes when only the installing account (this
// process's), Administrators, SYSTEM and TrustedInstaller may change the
// four and one of them owns each; fails naming every other account that may,
// with its rights. Under Wine, which keeps no descriptor on files, it judges
// instead the descriptors the install handed to the system (`installRecord`,
// as the probe recorded them) with AccessCheck for each account, failing a
// folder made with none; it skips when the install handed none for the
// install root. `hasLibrary`: the install root holds the library.
CheckResult PermissionsResult(bool hasLibrary, const std::vector<ProbedEvent>& installRecord);
