// The two user-level operations behind the Install and Uninstall buttons.
// Each runs to its end on the calling (UI) thread, asks and reports through
// modal message boxes owned by `ownerWindow`, and keeps no state between runs.
#pragma once

#include <windows.h>

// Copies the medium's tree (the parent of the executable's folder) into the
// install root, offers to register the extension library, puts the client's
// shortcut on the desktop and reports completion. Ends silently when the user
// declines to install over an existing install root; reports a failed copy
// and stops there.
void RunInstall(HWND ownerWindow);

// Unregisters the extension library, deletes the desktop shortcut, ends the
// running client and removes the install root, then reports whether the
// install root is gone.
void RunUninstall(HWND ownerWindow);
