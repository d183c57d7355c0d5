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
// Reply: one ProbedTextSize per child of the window, in z-order.
inline constexpr LPARAM kProbeTextSizes = 3;
// Reply: one ProbedLayout, then one RECT per child of the window, in z-order,
// in the window's client coordinates.
inline constexpr LPARAM kProbeLayout = 4;

struct ProbedFont {
    std::uint64_t font;      // WM_GETFONT
    std::int32_t described;  // GetObjectW filled logFont
    LOGFONTW logFont;
};

struct ProbedIcon {
    UINT kind;  // MB_ICONQUESTION, MB_ICONERROR, ... or 0
};

// A control's text measured with DrawTextW in the control's own font.
struct ProbedTextSize {
    std::int32_t hasFont;      // WM_GETFONT gave a font
    std::int32_t clientWidth;  // GetClientRect
    std::int32_t clientHeight;
    std::int32_t wrappedHeight;  // DT_WORDBREAK | DT_EXPANDTABS at the client width
    std::int32_t lineWidth;      // DT_SINGLELINE
    // What a classic push button keeps free on both sides of its label: its
    // 3-D edge and the focus rectangle drawn within it, in the installer's
    // own metrics (which follow its DPI awareness, not the asker's).
    std::int32_t buttonMargins;
};

// The window as its own process lays it out: its DPI (as its font was made
// for) and its client area.
struct ProbedLayout {
    std::int32_t dpi;  // LOGPIXELSY of the window's device context
    std::int32_t clientWidth;
    std::int32_t clientHeight;
};
