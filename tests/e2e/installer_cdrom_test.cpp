// The real setup.exe started from a CD-ROM drive, as a user meets a burnt
// release image: the test session maps the image's tree as Windows reads it
// (its UDF file system), read-only, as the drive D:, whose type is "cdrom".
#include "tests/e2e/e2e_support.h"
#include "checkkit/text.h"
#include "tests/support/medium.h"
#include "tests/support/scratch.h"

#include <cstdio>

namespace {

const std::wstring kCdRoot = L"D:";
const std::wstring kCdInstaller = L"D:\\Installer\\setup.exe";

bool IsReadOnly(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

class InstallerCdromTest : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        ASSERT_EQ(GetDriveTypeW(L"D:\\"), static_cast<UINT>(DRIVE_CDROM))
            << "the test session maps the release image as the CD-ROM drive D:";
        ASSERT_TRUE(PathExists(kCdInstaller)) << "the image holds no Installer\\setup.exe";
        ASSERT_TRUE(PathExists(kCdRoot + L"\\ovikClient\\ScreenCapture.ax"))
            << "the image is not of the sample client";
    }
};

}  // namespace

TEST_F(InstallerCdromTest, InstallsTheImageAsItIsAndUninstallsItsReadOnlyFiles) {
    const std::vector<std::wstring> image = ListTree(kCdRoot);
    EXPECT_TRUE(IsReadOnly(kCdRoot + L"\\startClass.exe")) << "files on a CD show read-only";

    Start(kCdInstaller);
    ExpectBoxes(Run(kInstallButton, {IDYES, IDOK}), {kRegisterBox, kInstalledBox},
                installer_->window);

    // The image's whole tree, byte for byte, and each file keeps the CD's
    // read-only attribute.
    ExpectInstalledCopyOf(kCdRoot);
    for (const std::wstring& entry : image) {
        if (entry.back() != L'\\') {
            EXPECT_TRUE(IsReadOnly(kRoot + L"\\" + entry)) << Narrow(entry) << " is not read-only";
        }
    }
    EXPECT_EQ(Narrow(RegisteredCapturePath()), Narrow(kLibraryPath));
    ExpectClientShortcut();

    // A second install cannot copy over the read-only files: the copy-failed
    // box says so, and the first install stays as it was.
    const std::wstring scratch = MakeScratchFolder(L"cdrom");
    if (PlatformEnforcesReadOnly(scratch)) {
        const std::vector<std::wstring> installed = ListTree(kRoot);
        ExpectBoxes(Run(kInstallButton, {IDYES, IDOK}), {kOverwriteBox, kCopyFailedBox},
                    installer_->window);
        EXPECT_EQ(ListTree(kRoot), installed);
    } else {
        std::printf("  second install not tried: read-only files are writable here\n");
    }
    DeleteScratchTree(scratch);

    // The uninstall clears the attribute before it deletes.
    ExpectBoxes(Run(kUninstallButton, {IDOK}), {kUninstalledBox}, installer_->window);
    EXPECT_FALSE(PathExists(kRoot)) << testing::PrintToString(ListTree(kRoot));
    EXPECT_FALSE(IsCaptureRegistered());
    EXPECT_FALSE(PathExists(ShortcutPath()));
    // The image itself is untouched.
    EXPECT_EQ(ListTree(kCdRoot), image);
}
