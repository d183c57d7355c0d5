// What the test program and the probe library that it hooks into the
// installer's UI thread say to each other. The test sends the registered
// message kProbeMessageName to one of the installer's windows with the query
// in lParam and its own reply window in wParam; the probe answers with
// WM_COPYDATA (dwData = the query) before that send returns.
#pragma once

#include <windows.h>
#include <sddl.h>

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

// Reply: one ProbedWindow for the window the message was sent to.
inline constexpr LPARAM kProbeWindow = 5;
// Starts the record of what the installer hands to the platform from here on
// (message boxes, launches, waits for them, pauses), dropping an earlier one.
// Reply: one std::int32_t, 1 when the record is kept.
inline constexpr LPARAM kProbeStartRecord = 6;
// Reply: one ProbedEvent per call recorded since kProbeStartRecord, in order.
inline constexpr LPARAM kProbeRecord = 7;
// Reply: one ProbedToken for the installer's own process.
inline constexpr LPARAM kProbeToken = 8;

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

// The window and its class as the installer's own process sees them.
struct ProbedWindow {
    std::int32_t classFound;  // GetClassInfoExW found the window's class in the installer
    std::uint32_t classStyle;
    std::int32_t classExtra;
    std::int32_t windowExtra;
    std::int32_t hasMenuName;
    std::int32_t hasIcon;
    // Bit i set: the class icon's image is that of the icon at zero-based
    // position i among shell32.dll's icons (extracted as a large icon), for
    // the first kShellIconsCompared positions.
    std::uint64_t shellIconMatches;
    std::int32_t smallIconIsLarge;  // the small icon is the very handle of the large one
    std::int32_t cursorIsArrow;     // the class cursor is LoadCursorW(nullptr, IDC_ARROW)
    std::uint64_t background;       // the class brush as a value (a system colour + 1, or a handle)
    std::uint32_t style;            // GetWindowLongW
    std::uint32_t exStyle;
    std::int32_t hasParent;  // GetParent or GW_OWNER
    std::int32_t hasMenu;
    RECT window;               // GetWindowRect, in the installer's coordinates
    RECT client;               // GetClientRect
    RECT frame;                // AdjustWindowRectEx({0,0,0,0}) for the window's style
    std::int32_t screenWidth;  // SM_CXSCREEN and SM_CYSCREEN, in the installer's metrics
    std::int32_t screenHeight;
};
inline constexpr int kShellIconsCompared = 64;

// Whom a process runs as, read from its own token; a field that cannot be
// read is -1 (its text empty).
struct ProbedToken {
    std::int32_t elevationType;  // TokenElevationType: 1 default, 2 full, 3 limited
    std::int32_t elevated;       // TokenElevation
    std::int32_t integrity;      // the last subauthority of TokenIntegrityLevel's SID
    wchar_t user[192];           // TokenUser, as SID text
};

// This process's ProbedToken; the probe and the kit read theirs alike.
inline ProbedToken ReadOwnToken() {
    ProbedToken facts = {-1, -1, -1, {}};
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return facts;
    DWORD size = 0;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    if (GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size))
        facts.elevationType = static_cast<std::int32_t>(type);
    TOKEN_ELEVATION elevation = {};
    if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
        facts.elevated = elevation.TokenIsElevated ? 1 : 0;
    // Both hold a SID, which is at most 68 bytes long.
    alignas(8) unsigned char buffer[256];
    if (GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &size)) {
        const PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
        facts.integrity =
            static_cast<std::int32_t>(*GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u));
    }
    LPWSTR text = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
        lstrcpynW(facts.user, text, static_cast<int>(sizeof facts.user / sizeof facts.user[0]));
        LocalFree(text);
    }
    CloseHandle(token);
    return facts;
}

// One call of the installer to the platform, recorded by the probe.
enum ProbedEventKind : std::int32_t {
    kEventMessageBox = 1,  // MessageBoxW: owner, caption, type
    kEventLaunch = 2,      // ShellExecuteExW: the request, and whether it succeeded
    kEventWait = 3,        // WaitForSingleObject on a launched process: its limit
    kEventPause = 4,       // Sleep: its length
    kEventComInit = 5,     // CoInitialize: its result (an HRESULT)
    kEventComUninit = 6,   // CoUninitialize
    // A security descriptor handed to the system for a folder or file:
    // value kSecurityAtCreation (SHCreateDirectoryExW; descriptor empty when
    // it got none; succeeded when the call made the folder) or
    // kSecurityOnEntry (SetKernelObjectSecurity), file the path, mask the
    // SECURITY_INFORMATION, descriptor its SDDL.
    kEventSecurity = 7,
};
inline constexpr std::uint32_t kSecurityAtCreation = 1;
inline constexpr std::uint32_t kSecurityOnEntry = 2;
// Which text fields of a launch were null rather than text.
inline constexpr std::uint32_t kNullVerb = 1;
inline constexpr std::uint32_t kNullFile = 2;
inline constexpr std::uint32_t kNullParameters = 4;
inline constexpr std::uint32_t kNullDirectory = 8;

struct ProbedEvent {
    std::int32_t kind;
    std::uint32_t value;   // the box's type, the wait's or the pause's milliseconds, an HRESULT
    std::uint64_t window;  // the box's owner, the launch's hwnd
    // A launch:
    std::uint32_t cbSize;
    std::uint32_t mask;
    std::int32_t show;
    std::int32_t succeeded;
    std::int32_t gotProcess;
    std::uint32_t nullFields;
    wchar_t verb[16];
    wchar_t file[MAX_PATH];
    wchar_t parameters[MAX_PATH];
    wchar_t directory[MAX_PATH];
    std::int32_t ofLaunch;    // a wait: the index of the launch event whose process it waits for
    wchar_t caption[64];      // a box's caption
    wchar_t descriptor[512];  // a descriptor handed to the system, as SDDL
};
