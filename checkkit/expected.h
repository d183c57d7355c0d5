// What the release check expects the installer to do and show, written out
// here on purpose instead of taken from the installer's own headers: a value
// changed by mistake on the installer's side must make the check fail, not
// move the check along with it. The message boxes' captions, texts, buttons
// and icons are in checkkit/driver/installer_boxes.h, which is just as much
// the kit's own.
#pragma once

#include "checkkit/driver/installer_boxes.h"

#include <windows.h>
#include <shellapi.h>

namespace expected {

// ---- What an install leaves --------------------------------------------------

inline constexpr wchar_t kInstallRoot[] = L"C:\\ovikProgram";
// Below the install root, and below a medium's root.
inline constexpr wchar_t kClientExecutable[] = L"\\startClass.exe";
inline constexpr wchar_t kClientFolder[] = L"\\ovikClient";
inline constexpr wchar_t kCaptureLibrary[] = L"\\ovikClient\\ScreenCapture.ax";
inline constexpr wchar_t kClientIcon[] = L"\\ovikClient\\ovikclient.ico";
inline constexpr wchar_t kInstallerFolder[] = L"\\Installer";
inline constexpr wchar_t kSetupExe[] = L"\\Installer\\setup.exe";
// The scripts that the install and the uninstall write into the installed
// Installer folder, and the registration script's exact bytes (ASCII, so
// the same in every ANSI code page).
inline constexpr wchar_t kRegisterScript[] = L"\\Installer\\ScreenCapture_reg.bat";
inline constexpr wchar_t kUnregisterScript[] = L"\\Installer\\ScreenCapture_del.bat";
inline constexpr char kRegisterScriptBytes[] =
    "regsvr32 \"C:\\ovikProgram\\ovikClient\\ScreenCapture.ax\"\r\n";
// Below the user's desktop folder.
inline constexpr wchar_t kShortcutFile[] = L"\\OVIKクライアント.lnk";
inline constexpr int kShortcutIconIndex = 0;

// ---- What the installer launches, and how ------------------------------------

// Every launch goes through the shell with this verb (the elevation prompt),
// this mask (a process handle comes back, nothing else), no window, hidden,
// and starts in the system folder: a launch left to inherit the installer's
// folder (the medium's Installer folder) would let a regsvr32.exe planted
// there run elevated, so the installer names the system folder.
inline constexpr wchar_t kLaunchVerb[] = L"runas";
inline constexpr ULONG kLaunchMask = SEE_MASK_NOCLOSEPROCESS;
inline constexpr int kLaunchShow = SW_HIDE;

struct Launch {
    const wchar_t* file;        // below the install root, or below the system folder
    bool inSystemFolder;        // `file` is below the system folder
    const wchar_t* parameters;  // null: none
    DWORD waitMs;               // how long the installer waits for it
};
inline constexpr Launch kRegisterLaunch = {kRegisterScript, false, nullptr, 30000};
inline constexpr Launch kUnregisterLaunch = {kUnregisterScript, false, nullptr, 30000};
// taskkill by its full path: by its bare name the shell would look in the
// installer's folder first.
inline constexpr Launch kTaskKillLaunch = {L"\\taskkill.exe", true, L"/F /IM startClass.exe", 5000};
// The uninstall's pause between ending the client and removing the tree.
inline constexpr DWORD kPauseBeforeRemovalMs = 500;

// ---- The window --------------------------------------------------------------

inline constexpr wchar_t kWindowClass[] = L"OVIKInstallerWnd";
inline constexpr wchar_t kWindowTitle[] = L"Installer";

// The class: no class style, no extra bytes, no menu; for both icons the one
// handle of the icon at this zero-based position among shell32.dll's icons
// (extracted as a large icon); the arrow cursor; the button face as background.
inline constexpr UINT kClassStyle = 0;
inline constexpr int kClassIconShellIndex = 3;
inline constexpr INT_PTR kClassBackground = COLOR_BTNFACE + 1;

// A fixed frame with close and minimise; its client area exactly this size,
// the whole window centred on the primary screen (truncating division).
inline constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
inline constexpr DWORD kWindowExStyle = 0;
inline constexpr SIZE kClientSize = {500, 250};
// What the system itself adds to a shown top-level window with a caption:
// these bits say nothing about how the installer made it.
inline constexpr DWORD kSystemAddedStyle = WS_VISIBLE | WS_CLIPSIBLINGS;
inline constexpr DWORD kSystemAddedExStyle = WS_EX_WINDOWEDGE;

// The controls' font: this face, 11 points at the installer's DPI (a
// character height of -MulDiv(11, dpi, 72) pixels), normal weight, upright,
// neither underlined nor struck out, the Japanese character set, a Swiss
// family with the default pitch, and every other field 0.
inline constexpr wchar_t kFontFace[] = L"MS Shell Dlg";
inline constexpr int kFontPoints = 11;
inline constexpr LONG kFontWeight = FW_NORMAL;
inline constexpr BYTE kFontCharSet = SHIFTJIS_CHARSET;
inline constexpr BYTE kFontPitchAndFamily = FF_SWISS;

// The notes: a left-aligned static; the buttons: a flat push button. No
// tab stop, no group, no default button, no extended style.
inline constexpr DWORD kNoteStyle = WS_CHILD | WS_VISIBLE | SS_LEFT;
inline constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | BS_FLAT | BS_PUSHBUTTON;

inline constexpr int kInstallButtonId = 1001;
inline constexpr int kUninstallButtonId = 1002;
inline constexpr int kCancelButtonId = 1003;

struct Control {
    const char* what;          // how the report names it
    const wchar_t* className;  // compared without regard to case
    int id;
    DWORD style;
    RECT box;  // in the window's client area
    const wchar_t* text;
};
// The window's children in z-order (the order they were made).
inline constexpr Control kControls[] = {
    {"the first note",
     L"Static",
     0,
     kNoteStyle,
     {8, 8, 492, 43},
     L"OVIKクライアントを C:\\ovikProgram フォルダーを作成し、そこにインストールします。"},
    {"the second note",
     L"Static",
     0,
     kNoteStyle,
     {8, 55, 492, 143},
     L"※このシステムは、拡張ライブラリファイルScreenCapture.axを使用します。\r\n"
     L"※インストールの際、この拡張ライブラリファイルの導入をするかどうかの確認があります。\r\n"
     L"※導入しない場合、自身の端末の画面を共有することができません。\r\n"
     L"※アンインストールすると、この拡張ライブラリファイルは削除されます。"},
    {"the Install button",
     L"Button",
     kInstallButtonId,
     kButtonStyle,
     {35, 152, 155, 232},
     L"インストール"},
    {"the Uninstall button",
     L"Button",
     kUninstallButtonId,
     kButtonStyle,
     {190, 152, 310, 232},
     L"アンインストール"},
    {"the Cancel button",
     L"Button",
     kCancelButtonId,
     kButtonStyle,
     {345, 152, 465, 232},
     L"キャンセル"},
};

}  // namespace expected
