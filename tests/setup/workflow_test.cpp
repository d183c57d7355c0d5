// The install and uninstall workflows, run for real against C:\ovikProgram,
// the prefix's desktop, the real command interpreter, regsvr32 and taskkill.
#include "setup/script_run.h"
#include "setup/setup.h"
#include "shellops/shellops.h"
#include "tests/support/medium.h"
#include "checkkit/driver/message_boxes.h"
#include "tests/support/scratch.h"
#include "checkkit/driver/shortcut_reader.h"
#include "checkkit/text.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>

namespace {

// The boxes as the user reads them.
const std::wstring kOverwriteText =
    L"C:\\ovikProgram フォルダーが既に存在します。\n上書きインストールしますか？";
const std::wstring kCopyFailedText = L"ファイルのコピーに失敗しました。";
const std::wstring kRegisterText =
    L"拡張ライブラリ ScreenCapture.ax "
    L"を登録しますか？\n（登録しない場合、自身の画面を共有できません）";
const std::wstring kInstalledText = L"インストールが完了しました。";
const std::wstring kMissingText =
    L"ovikProgram フォルダが見つかりません。\nすでにアンインストール済みの可能性があります。";
const std::wstring kScriptFailedText = L"ScreenCapture_del.bat の作成に失敗しました。";
const std::wstring kUninstalledText = L"アンインストールが完了しました。";
const std::wstring kNotRemovedText =
    L"ovikProgram フォルダの削除に失敗しました。\n使用中のファイルがある可能性があります。";

const std::wstring kOpenRootText =
    L"C:\\ovikProgram フォルダーは他のユーザーも変更できるため、インストールを中止しました。\n"
    L"管理者に連絡してください。";
const std::wstring kOpenRootUninstallText =
    L"ovikProgram フォルダは他のユーザーも変更できるため、アンインストールを中止しました。\n"
    L"管理者に連絡してください。";

const std::wstring kRoot = L"C:\\ovikProgram";
const std::wstring kRegisterScriptPath = L"C:\\ovikProgram\\Installer\\ScreenCapture_reg.bat";
const std::wstring kUnregisterScriptPath = L"C:\\ovikProgram\\Installer\\ScreenCapture_del.bat";
const std::wstring kLibraryPath = L"C:\\ovikProgram\\ovikClient\\ScreenCapture.ax";
const std::wstring kClientPath = L"C:\\ovikProgram\\startClass.exe";

struct Expected {
    std::wstring caption;
    std::wstring text;
    bool yesNo;
};

// Each seen box against the expected one: text, caption, buttons, owner.
void ExpectBoxes(const std::vector<SeenBox>& seen, const std::vector<Expected>& expected,
                 HWND owner) {
    ASSERT_EQ(seen.size(), expected.size()) << Narrow(Describe(seen));
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].text, expected[i].text) << "box " << i;
        EXPECT_EQ(seen[i].caption, expected[i].caption) << "box " << i;
        EXPECT_EQ(seen[i].hasYes && seen[i].hasNo, expected[i].yesNo) << "box " << i;
        EXPECT_EQ(seen[i].hasOk, !expected[i].yesNo) << "box " << i;
        EXPECT_FALSE(seen[i].hasCancel) << "box " << i;
        EXPECT_EQ(seen[i].owner, owner) << "box " << i;
    }
}

const Expected kOverwriteBox{L"確認", kOverwriteText, true};
const Expected kCopyFailedBox{L"エラー", kCopyFailedText, false};
const Expected kRegisterBox{L"確認", kRegisterText, true};
const Expected kInstalledBox{L"完了", kInstalledText, false};
const Expected kMissingBox{L"情報", kMissingText, false};
const Expected kScriptFailedBox{L"エラー", kScriptFailedText, false};
const Expected kUninstalledBox{L"完了", kUninstalledText, false};
const Expected kNotRemovedBox{L"警告", kNotRemovedText, false};
const Expected kOpenRootBox{L"エラー", kOpenRootText, false};
const Expected kOpenRootUninstallBox{L"エラー", kOpenRootUninstallText, false};

// The entries whose change would change what runs elevated or for everyone.
const std::vector<std::wstring> kGuarded = {kRoot, kRoot + L"\\ovikClient", kLibraryPath,
                                            kClientPath, kRoot + L"\\Installer"};

// Whether nobody but this account, Administrators and SYSTEM may change
// `path`, as the platform reads its permissions back (under Wine: the Unix
// mode bits, which tell whether others may write).
bool HeldSafe(const std::wstring& path) {
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    GetFileSecurityW(path.c_str(), wanted, nullptr, 0, &needed);
    std::vector<unsigned char> held(needed ? needed : 1);
    return GetFileSecurityW(path.c_str(), wanted, held.data(), needed, &needed) &&
           OnlyOwnersMayChange(held.data(), GetCurrentUserSid());
}

// Lets everybody change `path`, as C:\'s Modify for Authenticated Users does.
bool OpenToEveryone(const std::wstring& path) {
    PSECURITY_DESCRIPTOR open = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)",
                                                              SDDL_REVISION_1, &open, nullptr))
        return false;
    const BOOL set = SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, open);
    LocalFree(open);
    return set && !HeldSafe(path);
}

std::wstring ShortcutTarget() {
    return ReadShortcut(ShortcutPath()).target;
}

class WorkflowTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(IsInsideTestPrefix());
        ResetInstallState();
        ASSERT_FALSE(PathExists(kRoot))
            << "could not clear the install root: " << testing::PrintToString(ListTree(kRoot));
        owner_ = CreateWindowExW(0, L"STATIC", L"workflow test owner", WS_OVERLAPPED, 0, 0, 100,
                                 100, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(owner_, nullptr);
    }
    void TearDown() override {
        DestroyWindow(owner_);
        ResetInstallState();
    }

    // Runs one workflow with the given answers; returns the boxes it showed.
    std::vector<SeenBox> Install(std::vector<int> answers) {
        ScopedBoxAnswerer boxes(std::move(answers));
        const ULONGLONG start = NowMs();
        RunInstall(owner_);
        std::printf("  install took %llu ms\n", NowMs() - start);
        return boxes.Seen();
    }
    std::vector<SeenBox> Uninstall(std::vector<int> answers = {}) {
        ScopedBoxAnswerer boxes(std::move(answers));
        const ULONGLONG start = NowMs();
        RunUninstall(owner_);
        std::printf("  uninstall took %llu ms\n", NowMs() - start);
        return boxes.Seen();
    }

    HWND owner_ = nullptr;
};

}  // namespace

// ---- Install ---------------------------------------------------------------

TEST_F(WorkflowTest, FreshInstallCopiesRegistersLinksAndReports) {
    const std::vector<SeenBox> seen = Install({IDYES, IDOK});
    ExpectBoxes(seen, {kRegisterBox, kInstalledBox}, owner_);

    // The whole medium, the installer's own folder included, plus the script.
    std::vector<std::wstring> expected = ListTree(kStagedMedium);
    expected.push_back(L"Installer\\ScreenCapture_reg.bat");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListTree(kRoot), expected);

    EXPECT_EQ(ReadBytes(kRegisterScriptPath),
              "regsvr32 \"C:\\ovikProgram\\ovikClient\\ScreenCapture.ax\"\r\n");
    EXPECT_EQ(RegisteredCapturePath(), kLibraryPath);
    EXPECT_EQ(ShortcutTarget(), kClientPath);
}

TEST_F(WorkflowTest, AnInstallRootOpenToOthersIsClosedBeforeTheInstallAndTheUninstall) {
    Install({IDYES, IDOK});
    for (const std::wstring& path : kGuarded)
        EXPECT_TRUE(HeldSafe(path)) << "fresh install: " << testing::PrintToString(path);
    // As an older installer left it: everything open to everybody.
    for (const std::wstring& path : kGuarded)
        ASSERT_TRUE(OpenToEveryone(path)) << testing::PrintToString(path);
    ExpectBoxes(Install({IDYES, IDYES, IDOK}), {kOverwriteBox, kRegisterBox, kInstalledBox},
                owner_);
    for (const std::wstring& path : kGuarded)
        EXPECT_TRUE(HeldSafe(path)) << "over an open root: " << testing::PrintToString(path);
    EXPECT_EQ(RegisteredCapturePath(), kLibraryPath);

    for (const std::wstring& path : kGuarded)
        ASSERT_TRUE(OpenToEveryone(path)) << testing::PrintToString(path);
    ExpectBoxes(Uninstall(), {kUninstalledBox}, owner_);
    EXPECT_FALSE(IsCaptureRegistered());
    EXPECT_FALSE(PathExists(kRoot));
}

// A linked install root puts the tree wherever the link points, which this
// account cannot make its own: nothing is copied, registered or run there.
TEST_F(WorkflowTest, AnInstallRootThatCannotBeClosedStopsBothWorkflowsWithABox) {
    const std::wstring scratch = MakeScratchFolder(L"workflow-linked-root");
    ASSERT_TRUE(WriteBytes(scratch + L"\\planted.txt", "planted"));
    ASSERT_TRUE(MakeHostSymlink(scratch, kRoot));
    ExpectBoxes(Install({IDYES, IDOK}), {kOverwriteBox, kOpenRootBox}, owner_);
    EXPECT_EQ(ListTree(scratch), std::vector<std::wstring>{L"planted.txt"});
    EXPECT_FALSE(PathExists(ShortcutPath()));
    EXPECT_FALSE(IsCaptureRegistered());
    ExpectBoxes(Uninstall(), {kOpenRootUninstallBox}, owner_);
    EXPECT_EQ(ListTree(scratch), std::vector<std::wstring>{L"planted.txt"});
    EXPECT_TRUE(RemoveHostSymlink(kRoot));
    DeleteScratchTree(scratch);
}

TEST_F(WorkflowTest, DecliningToOverwriteChangesNothing) {
    ASSERT_TRUE(MakeFolder(kRoot));
    ASSERT_TRUE(WriteBytes(kRoot + L"\\mine.txt", "mine"));
    ExpectBoxes(Install({IDNO}), {kOverwriteBox}, owner_);
    EXPECT_EQ(ListTree(kRoot), std::vector<std::wstring>{L"mine.txt"});
    EXPECT_FALSE(PathExists(ShortcutPath()));
    EXPECT_FALSE(IsCaptureRegistered());
}

TEST_F(WorkflowTest, DecliningRegistrationWritesNoScriptButFinishes) {
    ExpectBoxes(Install({IDNO, IDOK}), {kRegisterBox, kInstalledBox}, owner_);
    EXPECT_FALSE(PathExists(kRegisterScriptPath));
    EXPECT_FALSE(IsCaptureRegistered());
    EXPECT_EQ(ShortcutTarget(), kClientPath);
}

TEST_F(WorkflowTest, APlainFileAtTheInstallRootAsksThenReportsTheFailedCopy) {
    ASSERT_TRUE(WriteBytes(kRoot, "not a folder"));
    ExpectBoxes(Install({IDYES, IDOK}), {kOverwriteBox, kCopyFailedBox}, owner_);
    EXPECT_EQ(ReadBytes(kRoot), "not a folder");
    EXPECT_FALSE(PathExists(ShortcutPath()));
}

TEST_F(WorkflowTest, ReinstallOverwritesKeepsExtrasAndRewritesTheScript) {
    Install({IDYES, IDOK});
    WriteBytes(kRoot + L"\\extra.txt", "extra");
    WriteBytes(kRoot + L"\\readme.txt", "changed by the user");
    WriteBytes(kRegisterScriptPath, "stale");
    ExpectBoxes(Install({IDYES, IDYES, IDOK}), {kOverwriteBox, kRegisterBox, kInstalledBox},
                owner_);
    EXPECT_EQ(ReadBytes(kRoot + L"\\extra.txt"), "extra");
    EXPECT_EQ(ReadBytes(kRoot + L"\\readme.txt"),
              ReadBytes(std::wstring(kStagedMedium) + L"\\readme.txt"));
    EXPECT_EQ(ReadBytes(kRegisterScriptPath).size(), 55u);
}

TEST_F(WorkflowTest, ARunningClientMakesTheReinstallReportTheFailedCopy) {
    Install({IDNO, IDOK});
    DeleteFileW(ShortcutPath().c_str());
    WriteBytes(kRoot + L"\\readme.txt", "changed by the user");
    const HANDLE client = StartProgram(kClientPath);
    ASSERT_NE(client, nullptr);
    ExpectBoxes(Install({IDYES, IDOK}), {kOverwriteBox, kCopyFailedBox}, owner_);
    TerminateProcess(client, 0);
    WaitForSingleObject(client, 5000);
    CloseHandle(client);
    // Every other file was still copied; nothing after the copy ran.
    EXPECT_EQ(ReadBytes(kRoot + L"\\readme.txt"),
              ReadBytes(std::wstring(kStagedMedium) + L"\\readme.txt"));
    EXPECT_FALSE(PathExists(ShortcutPath()));
}

TEST_F(WorkflowTest, TheLibraryIsLookedForInTheInstallRootNotOnTheMedium) {
    const std::wstring mediumLibrary =
        std::wstring(kStagedMedium) + L"\\ovikClient\\ScreenCapture.ax";
    const std::wstring parked = std::wstring(kStagedMedium) + L"\\ScreenCapture.parked";
    ASSERT_TRUE(MoveFileW(mediumLibrary.c_str(), parked.c_str()));

    // Without a library anywhere: no question, still a shortcut.
    ExpectBoxes(Install({IDOK}), {kInstalledBox}, owner_);
    EXPECT_EQ(ShortcutTarget(), kClientPath);

    // A library left in the install root by an earlier install is offered.
    CopyFileW(parked.c_str(), kLibraryPath.c_str(), FALSE);
    ExpectBoxes(Install({IDYES, IDYES, IDOK}), {kOverwriteBox, kRegisterBox, kInstalledBox},
                owner_);
    EXPECT_EQ(RegisteredCapturePath(), kLibraryPath);
    MoveFileW(parked.c_str(), mediumLibrary.c_str());
}

// ---- Uninstall -------------------------------------------------------------

TEST_F(WorkflowTest, UninstallEndsTheClientUnregistersAndRemovesEverything) {
    Install({IDYES, IDOK});
    ASSERT_TRUE(IsCaptureRegistered());
    const HANDLE client = StartProgram(kClientPath);
    ASSERT_NE(client, nullptr);
    ExpectBoxes(Uninstall(), {kUninstalledBox}, owner_);
    EXPECT_EQ(WaitForSingleObject(client, 0), WAIT_OBJECT_0) << "client still running";
    CloseHandle(client);
    EXPECT_FALSE(IsCaptureRegistered());
    EXPECT_FALSE(PathExists(ShortcutPath()));
    EXPECT_FALSE(PathExists(kRoot));
}

TEST_F(WorkflowTest, UninstallWithoutAnInstallRootOnlySaysSo) {
    ExpectBoxes(Uninstall(), {kMissingBox}, owner_);
    EXPECT_FALSE(PathExists(kRoot));
    // A second run says the same.
    ExpectBoxes(Uninstall(), {kMissingBox}, owner_);
}

TEST_F(WorkflowTest, UninstallOverAPlainFileReportsTheScriptAndChangesNothing) {
    ASSERT_TRUE(WriteBytes(kRoot, "not a folder"));
    WriteBytes(ShortcutPath(), "a link");
    ExpectBoxes(Uninstall(), {kScriptFailedBox}, owner_);
    EXPECT_EQ(ReadBytes(kRoot), "not a folder");
    EXPECT_TRUE(PathExists(ShortcutPath()));
}

TEST_F(WorkflowTest, UninstallWithAFileInUseWarnsAndRemovesEverythingElse) {
    Install({IDYES, IDOK});
    const std::wstring held = kRoot + L"\\ovikClient\\ovikclient.ico";
    const HANDLE file = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ExpectBoxes(Uninstall(), {kNotRemovedBox}, owner_);
    CloseHandle(file);
    EXPECT_EQ(ListTree(kRoot),
              (std::vector<std::wstring>{L"ovikClient\\", L"ovikClient\\ovikclient.ico"}));
    EXPECT_FALSE(IsCaptureRegistered());
    EXPECT_FALSE(PathExists(ShortcutPath()));

    // What is left is removed by the next uninstall, which runs in full again.
    ExpectBoxes(Uninstall(), {kUninstalledBox}, owner_);
    EXPECT_FALSE(PathExists(kRoot));
}

TEST_F(WorkflowTest, UninstallWithoutTheLibraryStillRunsToTheEnd) {
    Install({IDNO, IDOK});
    DeleteFileW(kLibraryPath.c_str());
    ExpectBoxes(Uninstall(), {kUninstalledBox}, owner_);
    EXPECT_FALSE(PathExists(kRoot));
}

// ---- Under attack and at odds with the file system ---------------------------

TEST_F(WorkflowTest, AReadOnlyFileInTheInstallRootFailsTheReinstallButNotTheOtherFiles) {
    Install({IDNO, IDOK});
    const std::wstring pinned = kRoot + L"\\ovikClient\\ovikclient.ico";
    if (!PlatformEnforcesReadOnly(kRoot))
        GTEST_SKIP() << "read-only files are writable here";
    WriteBytes(pinned, "kept");
    SetFileAttributesW(pinned.c_str(), FILE_ATTRIBUTE_READONLY);
    WriteBytes(kRoot + L"\\readme.txt", "changed by the user");
    DeleteFileW(ShortcutPath().c_str());

    ExpectBoxes(Install({IDYES, IDOK}), {kOverwriteBox, kCopyFailedBox}, owner_);
    EXPECT_EQ(ReadBytes(pinned), "kept");
    EXPECT_EQ(ReadBytes(kRoot + L"\\readme.txt"),
              ReadBytes(std::wstring(kStagedMedium) + L"\\readme.txt"));
    EXPECT_FALSE(PathExists(ShortcutPath()));

    // The uninstall clears the attribute and removes the file all the same.
    ExpectBoxes(Uninstall(), {kUninstalledBox}, owner_);
    EXPECT_FALSE(PathExists(kRoot));
}

TEST_F(WorkflowTest, ARegistrationScriptChangedAfterItsWriteIsNotRun) {
    Install({IDNO, IDOK});
    const std::wstring text = ComposeRegisterScript(kLibraryPath);
    ASSERT_TRUE(WriteAnsiTextFile(kRegisterScriptPath, text));
    // One byte changed: the script would still register the library.
    std::string changed = ReadBytes(kRegisterScriptPath);
    changed[0] = 'R';
    ASSERT_TRUE(WriteBytes(kRegisterScriptPath, changed));
    RunScriptElevated(kRegisterScriptPath, text);
    EXPECT_FALSE(IsCaptureRegistered()) << "the changed script ran";

    ASSERT_TRUE(WriteAnsiTextFile(kRegisterScriptPath, text));
    RunScriptElevated(kRegisterScriptPath, text);
    EXPECT_EQ(RegisteredCapturePath(), kLibraryPath) << "the script as written did not run";
}

namespace {

struct SwapAttempt {
    HANDLE done = nullptr;
    int opened = 0;
    int refused = 0;
};

// Tries, over and over, to rewrite the registration script with a command of
// its own, as another process on the machine could, until the library shows
// up as registered.
DWORD WINAPI SwapScript(void* parameter) {
    auto* attempt = static_cast<SwapAttempt*>(parameter);
    const std::string evil = "echo swapped> C:\\ovik-swapped.txt\r\n";
    while (WaitForSingleObject(attempt->done, 0) == WAIT_TIMEOUT && !IsCaptureRegistered()) {
        const HANDLE file = CreateFileW(kRegisterScriptPath.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (PathExists(kRegisterScriptPath))
                ++attempt->refused;
            continue;
        }
        DWORD written = 0;
        WriteFile(file, evil.data(), static_cast<DWORD>(evil.size()), &written, nullptr);
        SetEndOfFile(file);
        CloseHandle(file);
        ++attempt->opened;
    }
    return 0;
}

}  // namespace

TEST_F(WorkflowTest, TheRegistrationScriptCannotBeSwappedBeforeItRunsElevated) {
    DeleteFileW(L"C:\\ovik-swapped.txt");
    SwapAttempt attempt;
    attempt.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE swapper = CreateThread(nullptr, 0, SwapScript, &attempt, 0, nullptr);
    ASSERT_NE(swapper, nullptr);
    const std::vector<SeenBox> seen = Install({IDYES, IDOK});
    SetEvent(attempt.done);
    WaitForSingleObject(swapper, 10000);
    CloseHandle(swapper);
    CloseHandle(attempt.done);

    ExpectBoxes(seen, {kRegisterBox, kInstalledBox}, owner_);
    EXPECT_FALSE(PathExists(L"C:\\ovik-swapped.txt")) << "a swapped script ran elevated";
    if (attempt.opened == 0) {
        // Held from its write to the end of its run: every attempt was
        // refused, and the script that was written has run.
        EXPECT_GT(attempt.refused, 0);
        EXPECT_EQ(RegisteredCapturePath(), kLibraryPath);
    } else {
        // The swap slipped in between the write and the hold: the changed
        // script was noticed and nothing ran.
        EXPECT_FALSE(IsCaptureRegistered());
    }
    std::printf("  swap attempts refused %d, opened %d\n", attempt.refused, attempt.opened);
    DeleteFileW(L"C:\\ovik-swapped.txt");
}
