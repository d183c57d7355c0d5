// Reading a shell link back through the shell's own link object.
#pragma once

#include <string>

struct ShortcutFields {
    bool loaded = false;
    std::wstring target;
    std::wstring workingFolder;
    std::wstring iconPath;
    int iconIndex = -1;
};

// The fields of the link file at `linkPath`; `loaded` is false when it
// cannot be read as a link.
ShortcutFields ReadShortcut(const std::wstring& linkPath);
