// The real setup.exe, started from a staged medium and driven through its
// buttons and message boxes: install, uninstall, repeated clicks, and the
// two ways of ending it.
#include "tests/e2e/e2e_support.h"
#include "checkkit/text.h"
#include "tests/support/medium.h"
#include "tests/support/scratch.h"

namespace {

using InstallerWorkflowTest = InstallerTest;

// After a workflow the window is back, usable and unchanged.
void ExpectIdle(const InstallerProcess& installer) {
    EXPECT_EQ(WaitForSingleObject(installer.process, 0), WAIT_TIMEOUT) << "the installer ended";
    EXPECT_TRUE(IsWindow(installer.window));
    EXPECT_TRUE(IsWindowEnabled(installer.window));
    EXPECT_EQ(ChildWindows(installer.window).size(), 5u);
}

}  // namespace

// ---- Install -----------------------------------------------------------------

TEST_F(InstallerWorkflowTest, InstallCopiesTheMediumRegistersTheLibraryAndLinksTheClient) {
    Start();
    ExpectBoxes(Run(kInstallButton, {IDYES, IDOK}), {kRegisterBox, kInstalledBox},
                installer_->window);
    ExpectIdle(*installer_);

    // The whole medium, the installer's own folder included, plus the script.
    ExpectInstalledCopyOf(kE2eMedium);

    const std::string script = ReadBytes(kRegisterScriptPath);
    EXPECT_EQ(script.size(), 55u);
    EXPECT_EQ(script, "regsvr32 \"C:\\ovikProgram\\ovikClient\\ScreenCapture.ax\"\r\n");
    EXPECT_EQ(Narrow(RegisteredCapturePath()), Narrow(kLibraryPath));

    ExpectClientShortcut();
}

TEST_F(InstallerWorkflowTest, ASecondInstallClickStartsOverWithTheOverwriteQuestion) {
    Start();
    ExpectBoxes(Run(kInstallButton, {IDNO, IDOK}), {kRegisterBox, kInstalledBox},
                installer_->window);
    ASSERT_TRUE(WriteBytes(kRoot + L"\\readme.txt", "changed by the user"));

    // Yes: the copy runs again, and so does the registration question.
    ExpectBoxes(Run(kInstallButton, {IDYES, IDYES, IDOK}),
                {kOverwriteBox, kRegisterBox, kInstalledBox}, installer_->window);
    EXPECT_EQ(ReadBytes(kRoot + L"\\readme.txt"),
              ReadBytes(std::wstring(kE2eMedium) + L"\\readme.txt"));
    EXPECT_EQ(ReadBytes(kRegisterScriptPath).size(), 55u);
    ExpectIdle(*installer_);

    // No: the third run ends silently and changes nothing.
    ASSERT_TRUE(WriteBytes(kRoot + L"\\readme.txt", "changed again"));
    const std::vector<std::wstring> before = ListTree(kRoot);
    ExpectBoxes(Run(kInstallButton, {IDNO}), {kOverwriteBox}, installer_->window);
    EXPECT_EQ(ReadBytes(kRoot + L"\\readme.txt"), "changed again");
    EXPECT_EQ(ListTree(kRoot), before);
    ExpectIdle(*installer_);
}

// ---- Uninstall ---------------------------------------------------------------

TEST_F(InstallerWorkflowTest, UninstallEndsTheRunningClientAndRemovesEverything) {
    Start();
    ExpectBoxes(Run(kInstallButton, {IDYES, IDOK}), {kRegisterBox, kInstalledBox},
                installer_->window);
    ASSERT_TRUE(IsCaptureRegistered());
    ASSERT_TRUE(PathExists(ShortcutPath()));
    const HANDLE client = StartProgram(kClientPath);
    ASSERT_NE(client, nullptr);

    ExpectBoxes(Run(kUninstallButton, {IDOK}), {kUninstalledBox}, installer_->window);
    const bool clientEnded = WaitForSingleObject(client, 0) == WAIT_OBJECT_0;
    if (!clientEnded)
        TerminateProcess(client, 1);
    CloseHandle(client);
    EXPECT_TRUE(clientEnded) << "startClass.exe still runs";
    EXPECT_FALSE(IsCaptureRegistered());
    EXPECT_FALSE(PathExists(ShortcutPath()));
    EXPECT_FALSE(PathExists(kRoot));
    ExpectIdle(*installer_);

    // A second click finds nothing left.
    ExpectBoxes(Run(kUninstallButton, {IDOK}), {kMissingBox}, installer_->window);
    ExpectIdle(*installer_);
}

TEST_F(InstallerWorkflowTest, UninstallWithNothingInstalledOnlySaysSo) {
    ASSERT_TRUE(WriteBytes(ShortcutPath(), "not ours to delete"));
    Start();
    ExpectBoxes(Run(kUninstallButton, {IDOK}), {kMissingBox}, installer_->window);
    EXPECT_FALSE(PathExists(kRoot));
    EXPECT_EQ(ReadBytes(ShortcutPath()), "not ours to delete");
    ExpectIdle(*installer_);
}

// ---- Ending ------------------------------------------------------------------

TEST_F(InstallerWorkflowTest, CancelEndsTheProcessWithExitCodeZero) {
    Start();
    ClickButton(GetDlgItem(installer_->window, kCancelButton));
    DWORD exitCode = 1;
    ASSERT_TRUE(WaitForExit(installer_->process, 10000, exitCode)) << "still running";
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(PathExists(kRoot));
}

TEST_F(InstallerWorkflowTest, ClosingTheWindowEndsTheProcessWithExitCodeZero) {
    const struct {
        const char* how;
        UINT message;
        WPARAM wParam;
    } closes[] = {{"WM_CLOSE", WM_CLOSE, 0}, {"SC_CLOSE", WM_SYSCOMMAND, SC_CLOSE}};
    for (const auto& close : closes) {
        SCOPED_TRACE(close.how);
        Start();
        PostMessageW(installer_->window, close.message, close.wParam, 0);
        DWORD exitCode = 1;
        ASSERT_TRUE(WaitForExit(installer_->process, 10000, exitCode)) << "still running";
        EXPECT_EQ(exitCode, 0u);
    }
}

// ---- Registration ------------------------------------------------------------

TEST_F(InstallerWorkflowTest, TheCompletionBoxWaitsForASlowRegistration) {
    ASSERT_TRUE(CopyFileW(BesideTestProgram(L"slow\\ScreenCapture.ax").c_str(),
                          (std::wstring(kE2eMedium) + L"\\ovikClient\\ScreenCapture.ax").c_str(),
                          FALSE));
    Start();
    ExpectBoxes(Run(kInstallButton, {IDYES}), {kRegisterBox}, installer_->window);
    const HWND done = WaitForMessageBox(installer_->window, 60000);
    const bool registered = IsCaptureRegistered();
    ASSERT_NE(done, nullptr) << "no completion box";
    EXPECT_EQ(Narrow(ReadMessageBox(done).text), Narrow(kInstalledBox.text));
    EXPECT_TRUE(registered) << "the completion box came before the registration was done";
    ClickButton(GetDlgItem(done, IDOK));
    // A registration still running finishes before the tear-down clears it.
    for (int i = 0; i < 100 && (IsWindow(done) || !IsCaptureRegistered()); ++i)
        Sleep(100);
}

TEST_F(InstallerWorkflowTest, AnInstallerFolderOfAnotherNameStillGetsTheScriptsFolder) {
    // As on a medium with D:\setup\setup.exe: the copy brings no Installer folder.
    const std::wstring folder = std::wstring(kE2eMedium) + L"\\setup";
    ASSERT_TRUE(MoveFileW((std::wstring(kE2eMedium) + L"\\Installer").c_str(), folder.c_str()));
    Start(folder + L"\\setup.exe");
    ExpectBoxes(Run(kInstallButton, {IDYES, IDOK}), {kRegisterBox, kInstalledBox},
                installer_->window);
    EXPECT_EQ(ReadBytes(kRegisterScriptPath),
              "regsvr32 \"C:\\ovikProgram\\ovikClient\\ScreenCapture.ax\"\r\n");
    EXPECT_EQ(Narrow(RegisteredCapturePath()), Narrow(kLibraryPath));
}
