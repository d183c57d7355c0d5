// Pictures of what the tester would have seen.
#pragma once

#include <windows.h>

#include <string>

// Saves the part of the screen that `window` covers as a 24-bit BMP file at
// `path`, after letting it finish painting. False when nothing was written.
bool SaveWindowPicture(HWND window, const std::wstring& path);
