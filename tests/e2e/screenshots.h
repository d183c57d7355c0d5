// Pictures of the installer's window and of each kind of message box, for
// the documentation. Needs the host's ImageMagick `import` and a display
// without a window manager, where Wine's window rectangles are the display's.
#pragma once

#include <string>

// Runs the installer from a staged medium through every kind of box and
// saves PNG files into `hostFolder` (a host path) with `captureTool` (the
// host path of `import`); a drive of the session must hold both. True when
// every picture was written.
bool TakeScreenshots(const std::wstring& hostFolder, const std::wstring& captureTool);
