// What the test program and the probe library that it hooks into the
// installer's UI thread say to each other. The test sends the registered
// message kProbeMessageName to one of the installer's windows with the query
// in lParam and its own reply window in wParam; the probe answers with
// WM_COPYDATA (dwData = the query) before that send returns.
#pragma once

#include <windows.h>

#include <cstdint>

inline constexpr wchar_t kProbeMessageName[] = L"OvikInstallerE2eProbe";
inline constexpr char kProbeHookName[] = "InstallerProbeHook";

// Reply: one ProbedFont per child of the window, in z-order.
inline constexpr LPARAM kProbeControlFonts = 1;
// Reply: one ProbedIcon for the message box the message was sent to.
inline constexpr LPARAM kProbeBoxIcon = 2;

struct ProbedFont {
    std::uint64_t font;      // WM_GETFONT
    std::int32_t described;  // GetObjectW filled logFont
    LOGFONTW logFont;
};

struct ProbedIcon {
    UINT kind;  // MB_ICONQUESTION, MB_ICONERROR, ... or 0
};
