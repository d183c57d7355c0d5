// What the release check expects the installer to do and show, written out
// here on purpose instead of taken from the installer's own headers: a value
// changed by mistake on the installer's side must make the check fail, not
// move the check along with it. The message boxes' captions, texts, buttons
// and icons are in checkkit/driver/installer_boxes.h, which is just as much
// the kit's own.
#pragma once

#include "checkkit/driver/installer_boxes.h"

#include <windows.h>

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

// ---- The window --------------------------------------------------------------

inline constexpr wchar_t kWindowClass[] = L"OVIKInstallerWnd";
inline constexpr wchar_t kWindowTitle[] = L"Installer";
// The controls' font: this face, 11 points at the installer's DPI (a
// character height of -MulDiv(11, dpi, 72) pixels).
inline constexpr wchar_t kFontFace[] = L"MS Shell Dlg";
inline constexpr int kFontPoints = 11;

inline constexpr int kInstallButtonId = 1001;
inline constexpr int kUninstallButtonId = 1002;
inline constexpr int kCancelButtonId = 1003;

struct Control {
    const char* what;          // how the report names it
    const wchar_t* className;  // compared without regard to case
    int id;
    const wchar_t* text;
};
// The window's children in z-order (the order they were made).
inline constexpr Control kControls[] = {
    {"the first note", L"Static", 0,
     L"OVIKクライアントを C:\\ovikProgram フォルダーを作成し、そこにインストールします。"},
    {"the second note", L"Static", 0,
     L"※このシステムは、拡張ライブラリファイルScreenCapture.axを使用します。\r\n"
     L"※インストールの際、この拡張ライブラリファイルの導入をするかどうかの確認があります。\r\n"
     L"※導入しない場合、自身の端末の画面を共有することができません。\r\n"
     L"※アンインストールすると、この拡張ライブラリファイルは削除されます。"},
    {"the Install button", L"Button", kInstallButtonId, L"インストール"},
    {"the Uninstall button", L"Button", kUninstallButtonId, L"アンインストール"},
    {"the Cancel button", L"Button", kCancelButtonId, L"キャンセル"},
};

}  // namespace expected
