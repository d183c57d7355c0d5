// Mounting the release's CD image as Windows itself reads it.
#pragma once

#include <string>

// Copies the image to the local temporary folder and mounts that copy with
// the shell's Mount verb (what "マウント" in Explorer's menu does), which
// asks for no elevation, then waits up to 60 s for the new CD-ROM drive that
// holds Installer\setup.exe. Returns its drive ("E:"), or empty with the
// reason in `why`. The image stays mounted: the machine is thrown away
// afterwards. Wine has no Mount verb: there it fails, saying so.
std::wstring MountImage(const std::wstring& image, std::wstring& why);
