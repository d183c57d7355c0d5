// Control and resource ids of the installer window and executable. Kept free
// of C++ so that the resource compiler can read it too.
#pragma once

#define IDC_INSTALL 1001
#define IDC_UNINSTALL 1002
#define IDC_CANCEL 1003

// The two icon groups of the executable (the shell shows the first).
#define IDI_INSTALLER 1
#define IDI_INSTALLER_SECOND 2
