// The uninstall workflow.
#include "setup/setup.h"

#include "setup/script_run.h"
#include "shellops/shellops.h"

#include <shlobj.h>

namespace {

constexpr wchar_t kMissingText[] =
    L"ovikProgram フォルダが見つかりません。\nすでにアンインストール済みの可能性があります。";
constexpr wchar_t kScriptFailedText[] = L"ScreenCapture_del.bat の作成に失敗しました。";
constexpr wchar_t kUninstalledText[] = L"アンインストールが完了しました。";
constexpr wchar_t kNotRemovedText[] =
    L"ovikProgram フォルダの削除に失敗しました。\n使用中のファイルがある可能性があります。";
constexpr wchar_t kOpenRootText[] =
    L"ovikProgram フォルダは他のユーザーも変更できるため、アンインストールを中止しました。\n"
    L"管理者に連絡してください。";
constexpr wchar_t kInformationCaption[] = L"情報";
constexpr wchar_t kErrorCaption[] = L"エラー";
constexpr wchar_t kCompletedCaption[] = L"完了";
constexpr wchar_t kWarningCaption[] = L"警告";

constexpr wchar_t kTaskKillParameters[] = L"/F /IM startClass.exe";
constexpr DWORD kTaskKillWaitMs = 5000;
constexpr DWORD kPauseBeforeRemovalMs = 500;

// Force-ends every running client. taskkill is started by its full path in
// the system folder: looked up by bare name, the search would begin in the
// installer's own folder on the medium, where any taskkill.exe would run
// elevated.
void EndRunningClient() {
    const std::wstring systemFolder = GetSystemFolder();
    if (systemFolder.empty())
        return;
    RunElevatedAndWait(systemFolder + L"\\taskkill.exe", kTaskKillParameters, kTaskKillWaitMs);
}

}  // namespace

void RunUninstall(HWND ownerWindow) {
    const std::wstring installRoot = kInstallRoot;
    const std::wstring scriptsFolder = installRoot + kScriptsFolder;

    if (GetFileAttributesW(installRoot.c_str()) == INVALID_FILE_ATTRIBUTES) {
        MessageBoxW(ownerWindow, kMissingText, kInformationCaption, MB_ICONINFORMATION);
        return;
    }

    // The library is unregistered and the script run elevated from the
    // install root, so another account must not be able to change anything
    // in it first. Where that cannot be made so, nothing is run or removed.
    const std::wstring userSid = GetCurrentUserSid();
    const DWORD attributes = GetFileAttributesW(installRoot.c_str());
    const bool isFolder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (isFolder && !SecureInstallTree(installRoot, userSid)) {
        MessageBoxW(ownerWindow, kOpenRootText, kErrorCaption, MB_ICONERROR);
        return;
    }

    // A plain file at the install root makes this and the write fail, so the
    // uninstall stops before anything is removed.
    const UniqueLocalMemory descriptor = MakeInstallSecurity(userSid, InstallSecurityForm::kTop);
    SECURITY_ATTRIBUTES security = {sizeof security, descriptor.get(), FALSE};
    if (descriptor)
        SHCreateDirectoryExW(nullptr, scriptsFolder.c_str(), &security);
    const std::wstring libraryPath = installRoot + kCaptureLibrary;
    const std::wstring scriptPath = scriptsFolder + kUnregisterScript;
    const std::wstring scriptText = ComposeUnregisterScript(libraryPath);
    if (!WriteAnsiTextFile(scriptPath, scriptText)) {
        MessageBoxW(ownerWindow, kScriptFailedText, kErrorCaption, MB_ICONERROR);
        return;
    }

    // The library is unregistered while its file is still in place.
    RunScriptElevated(scriptPath, scriptText);

    const std::wstring linkPath = GetDesktopFolder() + kShortcutFile;
    if (GetFileAttributesW(linkPath.c_str()) != INVALID_FILE_ATTRIBUTES)
        DeleteFileW(linkPath.c_str());

    // Ended only now, so that a running client cannot hold the library while
    // it is unregistered; the pause lets its files come free.
    EndRunningClient();
    Sleep(kPauseBeforeRemovalMs);

    if (RemoveDirectoryTree(installRoot))
        MessageBoxW(ownerWindow, kUninstalledText, kCompletedCaption, MB_ICONINFORMATION);
    else
        MessageBoxW(ownerWindow, kNotRemovedText, kWarningCaption, MB_ICONWARNING);
}
