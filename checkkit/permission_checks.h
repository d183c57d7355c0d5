// Who may change what the installer leaves behind: the install root, the
// library it registers for the whole machine and the scripts folder whose
// scripts run elevated. Only Windows keeps the security descriptors that say
// so; a warning, since the installer asks nothing about them.
#pragma once

#include "checkkit/report.h"

// The check "permissions": passes when only Administrators, SYSTEM and
// TrustedInstaller may change the three; warns naming every other account
// that may, with its rights; skips under Wine, which cannot tell.
// `hasLibrary`: the install root holds the library.
CheckResult PermissionsResult(bool hasLibrary);
