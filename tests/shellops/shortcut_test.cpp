#include "shellops/shellops.h"
#include "tests/support/scratch.h"
#include "checkkit/driver/shortcut_reader.h"

#include <gtest/gtest.h>
#include <shlobj.h>

namespace {

class ShortcutTest : public testing::Test {
protected:
    void SetUp() override {
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::string("shortcut-") + info->name();
        scratch_ = MakeScratchFolder(std::wstring(name.begin(), name.end()));
        target_ = scratch_ + L"\\app\\startClass.exe";
        icon_ = scratch_ + L"\\app\\ovikClient\\ovikclient.ico";
        MakeFolder(scratch_ + L"\\app");
        MakeFolder(scratch_ + L"\\app\\ovikClient");
        WriteBytes(target_, "MZ");
    }
    void TearDown() override { DeleteScratchTree(scratch_); }
    std::wstring scratch_, target_, icon_;
};

}  // namespace

TEST_F(ShortcutTest, CarriesTargetWorkingFolderAndIconUnderAJapaneseName) {
    WriteBytes(icon_, "icon");
    const std::wstring link = scratch_ + kShortcutFile;
    ASSERT_TRUE(CreateShortcut(link, target_, icon_));
    // The file name comes back from the file system exactly as given.
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW((scratch_ + L"\\*.lnk").c_str(), &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    EXPECT_EQ(L"\\" + std::wstring(found.cFileName), kShortcutFile);

    const ShortcutFields fields = ReadShortcut(link);
    ASSERT_TRUE(fields.loaded);
    EXPECT_EQ(fields.target, target_);
    EXPECT_EQ(fields.workingFolder, scratch_ + L"\\app");
    EXPECT_EQ(fields.iconPath, icon_);
    EXPECT_EQ(fields.iconIndex, 0);
}

TEST_F(ShortcutTest, TheInstallsTargetGetsTheInstallRootAsWorkingFolder) {
    const std::wstring link = scratch_ + L"\\install.lnk";
    ASSERT_TRUE(CreateShortcut(link, kInstallRoot + kClientExecutable, L""));
    const ShortcutFields fields = ReadShortcut(link);
    ASSERT_TRUE(fields.loaded);
    EXPECT_EQ(fields.target, L"C:\\ovikProgram\\startClass.exe");
    EXPECT_EQ(fields.workingFolder, L"C:\\ovikProgram");
}

TEST_F(ShortcutTest, WorkingFolderFollowsTheSeparatorRule) {
    struct Case {
        const wchar_t* target;
        const wchar_t* folder;
    };
    const Case cases[] = {
        {L"E:\\startClass.exe", L"E:"},
        {L"E:/tools/startClass.exe", L"E:/tools"},
        {L"\\startClass.exe", L""},
        {L"startClass.exe", L""},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::wstring link = scratch_ + L"\\case" + std::to_wstring(index++) + L".lnk";
        ASSERT_TRUE(CreateShortcut(link, c.target, L"")) << testing::PrintToString(c.target);
        const ShortcutFields fields = ReadShortcut(link);
        EXPECT_EQ(fields.workingFolder, c.folder)
            << "target " << testing::PrintToString(c.target);
    }
}

TEST_F(ShortcutTest, AMissingOrEmptyIconGivesALinkWithoutIcon) {
    const std::wstring missing = scratch_ + L"\\missing-icon.lnk";
    const std::wstring empty = scratch_ + L"\\empty-icon.lnk";
    ASSERT_TRUE(CreateShortcut(missing, target_, icon_));  // icon file not written
    ASSERT_TRUE(CreateShortcut(empty, target_, L""));
    EXPECT_EQ(ReadShortcut(missing).iconPath, L"");
    EXPECT_EQ(ReadShortcut(empty).iconPath, L"");
    EXPECT_EQ(ReadShortcut(missing).target, target_);
}

TEST_F(ShortcutTest, ALinkInAMissingFolderFailsAndWritesNothing) {
    EXPECT_FALSE(CreateShortcut(scratch_ + L"\\nowhere\\x.lnk", target_, L""));
    EXPECT_FALSE(PathExists(scratch_ + L"\\nowhere"));
}

TEST_F(ShortcutTest, AnExistingLinkIsReplaced) {
    const std::wstring link = scratch_ + L"\\replace.lnk";
    const std::wstring other = scratch_ + L"\\other.exe";
    WriteBytes(other, "MZ");
    ASSERT_TRUE(CreateShortcut(link, other, L""));
    ASSERT_TRUE(CreateShortcut(link, target_, L""));
    EXPECT_EQ(ReadShortcut(link).target, target_);
}

TEST_F(ShortcutTest, LeavesTheThreadsComStateAsItFoundIt) {
    // Not initialised before: not initialised after.
    ASSERT_TRUE(CreateShortcut(scratch_ + L"\\a.lnk", target_, L""));
    HRESULT probe = CoInitialize(nullptr);
    EXPECT_EQ(probe, S_OK) << "COM was left initialised";
    if (SUCCEEDED(probe))
        CoUninitialize();

    // Initialised before: still initialised after, and the call works.
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_TRUE(CreateShortcut(scratch_ + L"\\b.lnk", target_, L""));
    probe = CoInitialize(nullptr);
    EXPECT_EQ(probe, S_FALSE) << "COM was torn down under the caller";
    if (SUCCEEDED(probe))
        CoUninitialize();
    CoUninitialize();
}
