// Who may change what the installer leaves behind: the install root, the
// library it registers for the whole machine, the client every account
// starts and the scripts folder whose scripts run elevated. Only Windows
// keeps the security descriptors that say so.
#pragma once

#include "checkkit/report.h"

// The check "permissions": passes when only the installing account (this
// process's), Administrators, SYSTEM and TrustedInstaller may change the
// four and one of them owns each; fails naming every other account that may,
// with its rights; skips under Wine, which cannot tell.
// `hasLibrary`: the install root holds the library.
CheckResult PermissionsResult(bool hasLibrary);
