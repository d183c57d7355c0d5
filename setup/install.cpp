// The install workflow.
#include "setup/setup.h"

#include "setup/script_run.h"
#include "shellops/shellops.h"

#include <shlobj.h>

namespace {

constexpr wchar_t kOverwriteText[] =
    L"C:\\ovikProgram フォルダーが既に存在します。\n上書きインストールしますか？";
constexpr wchar_t kCopyFailedText[] = L"ファイルのコピーに失敗しました。";
constexpr wchar_t kRegisterText[] =
    L"拡張ライブラリ ScreenCapture.ax "
    L"を登録しますか？\n（登録しない場合、自身の画面を共有できません）";
constexpr wchar_t kInstalledText[] = L"インストールが完了しました。";
constexpr wchar_t kOpenRootText[] =
    L"C:\\ovikProgram フォルダーは他のユーザーも変更できるため、インストールを中止しました。\n"
    L"管理者に連絡してください。";
constexpr wchar_t kConfirmCaption[] = L"確認";
constexpr wchar_t kErrorCaption[] = L"エラー";
constexpr wchar_t kCompletedCaption[] = L"完了";

// Writes the registration script and runs it elevated. A script that cannot
// be written is not run, and nothing is reported.
void RegisterCaptureLibrary(const std::wstring& installRoot, const std::wstring& libraryPath,
                            SECURITY_ATTRIBUTES& security) {
    const std::wstring scriptsFolder = installRoot + kScriptsFolder;
    SHCreateDirectoryExW(nullptr, scriptsFolder.c_str(), &security);
    const std::wstring scriptPath = scriptsFolder + kRegisterScript;
    const std::wstring scriptText = ComposeRegisterScript(libraryPath);
    if (WriteAnsiTextFile(scriptPath, scriptText))
        RunScriptElevated(scriptPath, scriptText);
}

}  // namespace

void RunInstall(HWND ownerWindow) {
    const std::wstring sourceRoot = GetParentPath(GetExecutableDirectory());
    const std::wstring installRoot = kInstallRoot;

    // Even a plain file of that name counts as an existing install root.
    const DWORD attributes = GetFileAttributesW(installRoot.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        MessageBoxW(ownerWindow, kOverwriteText, kConfirmCaption, MB_ICONQUESTION | MB_YESNO) !=
            IDYES)
        return;

    // The install root is made with its permissions in place: only this
    // account, Administrators and SYSTEM may change what runs from it. One
    // that exists already is made so before anything is copied into it, and
    // one that appeared since the look above (the copy found it) before
    // anything runs from it; where another account may still change it,
    // nothing is registered, linked or launched.
    const std::wstring userSid = GetCurrentUserSid();
    const UniqueLocalMemory descriptor = MakeInstallSecurity(userSid, InstallSecurityForm::kTop);
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor.get(), FALSE};
    const bool existed =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (descriptor && existed && !SecureInstallTree(installRoot, userSid)) {
        MessageBoxW(ownerWindow, kOpenRootText, kErrorCaption, MB_ICONERROR);
        return;
    }

    // The copy refuses an empty source root and one that holds the install
    // root (an installer in C:\Installer would copy the whole drive into
    // itself); both end here with the copy-failed box, as does a descriptor
    // that cannot be made.
    if (!descriptor || !CopyDirectoryTree(sourceRoot, installRoot, &security)) {
        MessageBoxW(ownerWindow, kCopyFailedText, kErrorCaption, MB_ICONERROR);
        return;
    }
    if (!existed && !SecureInstallTree(installRoot, userSid)) {
        MessageBoxW(ownerWindow, kOpenRootText, kErrorCaption, MB_ICONERROR);
        return;
    }

    // The library is looked for in the install root, so one that an earlier
    // install left there is offered again.
    const std::wstring libraryPath = installRoot + kCaptureLibrary;
    if (GetFileAttributesW(libraryPath.c_str()) != INVALID_FILE_ATTRIBUTES &&
        MessageBoxW(ownerWindow, kRegisterText, kConfirmCaption, MB_ICONQUESTION | MB_YESNO) ==
            IDYES)
        RegisterCaptureLibrary(installRoot, libraryPath, security);

    CreateShortcut(GetDesktopFolder() + kShortcutFile, installRoot + kClientExecutable,
                   installRoot + kClientIcon);

    MessageBoxW(ownerWindow, kInstalledText, kCompletedCaption, MB_ICONINFORMATION);
}
