// The message boxes that the installer shows, as a user reads them.
#pragma once

#include <windows.h>

#include <string>

struct ExpectedBox {
    std::wstring caption;
    std::wstring text;
    bool yesNo;  // Yes and No; otherwise the single OK
    UINT icon;
};

extern const ExpectedBox kOverwriteBox;
extern const ExpectedBox kCopyFailedBox;
extern const ExpectedBox kRegisterBox;
extern const ExpectedBox kInstalledBox;
extern const ExpectedBox kMissingBox;
extern const ExpectedBox kUninstalledBox;
extern const ExpectedBox kNotRemovedBox;
extern const ExpectedBox kScriptFailedBox;
