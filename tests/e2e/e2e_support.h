// Shared set-up of the end-to-end tests: the staged medium, the message
// boxes as the user reads them, and reading back what an install left.
#pragma once

#include "checkkit/driver/installer_boxes.h"
#include "checkkit/driver/installer_driver.h"
#include "checkkit/driver/shortcut_reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// The medium that the tests install from: a staged copy of the built sample
// medium, so its installer's source root is this folder.
inline constexpr wchar_t kE2eMedium[] = L"C:\\ovik-e2e-medium";
inline const std::wstring kStagedInstaller = std::wstring(kE2eMedium) + L"\\Installer\\setup.exe";

inline const std::wstring kRoot = L"C:\\ovikProgram";
inline const std::wstring kClientPath = L"C:\\ovikProgram\\startClass.exe";
inline const std::wstring kLibraryPath = L"C:\\ovikProgram\\ovikClient\\ScreenCapture.ax";
inline const std::wstring kIconPath = L"C:\\ovikProgram\\ovikClient\\ovikclient.ico";
inline const std::wstring kRegisterScriptPath =
    L"C:\\ovikProgram\\Installer\\ScreenCapture_reg.bat";

// Each shown box against the expected one: text, caption, buttons, icon and
// that the main window owns it.
void ExpectBoxes(const std::vector<ShownBox>& shown, const std::vector<ExpectedBox>& expected,
                 HWND owner);

// The install root holds `medium`'s whole tree, the installer's own folder
// included, byte for byte, and the registration script besides.
void ExpectInstalledCopyOf(const std::wstring& medium);

// The desktop shortcut points at the installed client, starts in the install
// root and shows the client's icon.
void ExpectClientShortcut();

// Puts a fresh copy of the sample medium at kE2eMedium and brings the
// prefix back to "never installed" before each test, and again after it;
// the installer a test started is ended first.
class InstallerTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the staged installer (or `exePath`) and waits for its window.
    // Fails the test when it does not come.
    void Start(const std::wstring& exePath = kStagedInstaller);
    std::vector<ShownBox> Run(int buttonId, const std::vector<int>& answers);
    // Fails the test for a box left open, then ends the installer.
    void EndInstaller();

    std::unique_ptr<InstallerProcess> installer_;
};
