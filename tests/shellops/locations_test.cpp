#include "shellops/shellops.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>
#include <shlobj.h>

TEST(InstallLayout, FullPathsAreTheFixedOnes) {
    const std::wstring scripts = kInstallRoot + kScriptsFolder;
    EXPECT_EQ(kInstallRoot, L"C:\\ovikProgram");
    EXPECT_EQ(scripts + kRegisterScript, L"C:\\ovikProgram\\Installer\\ScreenCapture_reg.bat");
    EXPECT_EQ(scripts + kUnregisterScript, L"C:\\ovikProgram\\Installer\\ScreenCapture_del.bat");
    EXPECT_EQ(kInstallRoot + kCaptureLibrary, L"C:\\ovikProgram\\ovikClient\\ScreenCapture.ax");
    EXPECT_EQ(kInstallRoot + kClientExecutable, L"C:\\ovikProgram\\startClass.exe");
    EXPECT_EQ(kInstallRoot + kClientIcon, L"C:\\ovikProgram\\ovikClient\\ovikclient.ico");
    EXPECT_EQ(std::wstring(kShortcutFile), L"\\OVIK\x30AF\x30E9\x30A4\x30A2\x30F3\x30C8.lnk");
    EXPECT_EQ(std::wstring(kShortcutFile).size(), 15u);
}

TEST(GetParentPath, CutsAtTheLastSeparatorOfEitherKind) {
    struct Case {
        const wchar_t* path;
        const wchar_t* parent;
    };
    const Case cases[] = {
        {L"D:\\media\\Installer\\setup.exe", L"D:\\media\\Installer"},
        {L"D:\\media\\Installer", L"D:\\media"},
        {L"D:/media/Installer", L"D:/media"},
        {L"D:\\media/Installer\\x", L"D:\\media/Installer"},
        {L"D:/media\\Installer/x", L"D:/media\\Installer"},
        {L"E:\\setup.exe", L"E:"},
        {L"E:", L"E:"},
        {L"\\startClass.exe", L""},
        {L"folder\\", L"folder"},
        {L"name", L"name"},
        {L"", L""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetParentPath(c.path), c.parent) << "path: " << testing::PrintToString(c.path);
}

TEST(GetExecutableDirectory, IsTheFolderOfThisProgram) {
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    const std::wstring folder = GetExecutableDirectory();
    EXPECT_EQ(folder, GetParentPath(module));
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), L'\\');
    EXPECT_TRUE(PathExists(folder + L"\\shellops_tests.exe"));
}

TEST(GetDesktopFolder, IsTheUsersExistingDesktop) {
    const std::wstring desktop = GetDesktopFolder();
    ASSERT_FALSE(desktop.empty());
    EXPECT_TRUE(IsFolder(desktop)) << "desktop: " << testing::PrintToString(desktop);
    wchar_t byCsidl[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, byCsidl);
    EXPECT_EQ(desktop, byCsidl);
}

TEST(GetSystemFolder, HoldsTheSystemPrograms) {
    const std::wstring system = GetSystemFolder();
    ASSERT_FALSE(system.empty());
    EXPECT_TRUE(PathExists(system + L"\\taskkill.exe"));
    EXPECT_TRUE(PathExists(system + L"\\cmd.exe"));
}
