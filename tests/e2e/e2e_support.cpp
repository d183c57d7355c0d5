#include "tests/e2e/e2e_support.h"

#include "checkkit/text.h"
#include "tests/support/medium.h"
#include "tests/support/scratch.h"

#include <shlobj.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>

void ExpectBoxes(const std::vector<ShownBox>& shown, const std::vector<ExpectedBox>& expected,
                 HWND owner) {
    ASSERT_EQ(shown.size(), expected.size()) << Describe(shown);
    for (size_t i = 0; i < shown.size(); ++i) {
        const SeenBox& box = shown[i].box;
        SCOPED_TRACE("box " + std::to_string(i) + ": [" + Narrow(box.caption) + "] " +
                     Narrow(box.text));
        EXPECT_EQ(Narrow(box.text), Narrow(expected[i].text));
        EXPECT_EQ(Narrow(box.caption), Narrow(expected[i].caption));
        EXPECT_EQ(box.hasYes && box.hasNo, expected[i].yesNo);
        EXPECT_EQ(box.hasOk, !expected[i].yesNo);
        EXPECT_FALSE(box.hasCancel);
        EXPECT_EQ(shown[i].icon, expected[i].icon) << "MB_ICON value of the box's icon";
        EXPECT_EQ(box.owner, owner) << "not owned by the installer window";
    }
}

void ExpectInstalledCopyOf(const std::wstring& medium) {
    const std::vector<std::wstring> entries = ListTree(medium);
    std::vector<std::wstring> expected = entries;
    expected.push_back(L"Installer\\ScreenCapture_reg.bat");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListTree(kRoot), expected);
    for (const std::wstring& entry : entries) {
        if (entry.back() == L'\\')
            continue;
        EXPECT_TRUE(ReadBytes(kRoot + L"\\" + entry) == ReadBytes(medium + L"\\" + entry))
            << Narrow(entry) << " differs from the medium";
    }
}

void ExpectClientShortcut() {
    const ShortcutFields link = ReadShortcut(ShortcutPath());
    ASSERT_TRUE(link.loaded) << Narrow(ShortcutPath());
    EXPECT_EQ(Narrow(link.target), Narrow(kClientPath));
    EXPECT_EQ(Narrow(link.workingFolder), Narrow(kRoot));
    EXPECT_EQ(Narrow(link.iconPath), Narrow(kIconPath));
    EXPECT_EQ(link.iconIndex, 0);
}

void InstallerTest::SetUp() {
    ASSERT_TRUE(IsInsideTestPrefix());
    ResetInstallState();
    // Whatever an earlier test left would change every box that follows.
    ASSERT_FALSE(PathExists(kRoot)) << "could not clear the install root";
    ASSERT_FALSE(PathExists(ShortcutPath())) << "could not clear the desktop shortcut";
    ASSERT_TRUE(StageMedium(BuiltMediumFolder(), kE2eMedium));
    ASSERT_TRUE(PathExists(kStagedInstaller)) << "the built medium holds no Installer\\setup.exe";
}

void InstallerTest::TearDown() {
    EndInstaller();
    ResetInstallState();
    DeleteScratchTree(kE2eMedium);
}

void InstallerTest::EndInstaller() {
    if (installer_ && installer_->window) {
        // A box still open here was never expected: name it.
        const HWND left = WaitForMessageBox(installer_->window, 0);
        if (left)
            ADD_FAILURE() << "a message box was left open: " << Narrow(ReadMessageBox(left).text);
    }
    installer_.reset();
}

void InstallerTest::Start(const std::wstring& exePath) {
    installer_ = std::make_unique<InstallerProcess>();
    ASSERT_TRUE(StartInstaller(exePath, *installer_))
        << "no installer window from " << Narrow(exePath);
}

std::vector<ShownBox> InstallerTest::Run(int buttonId, const std::vector<int>& answers) {
    const ULONGLONG start = NowMs();
    std::vector<ShownBox> shown = RunWorkflow(*installer_, buttonId, answers);
    std::printf("  button %d: %zu box(es), %llu ms\n", buttonId, shown.size(), NowMs() - start);
    return shown;
}
