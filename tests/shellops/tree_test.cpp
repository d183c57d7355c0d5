#include "shellops/shellops.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// Lays out `entries` below `root`: a name ending in '\' is a folder, any
// other is a file whose content is its own name.
void Lay(const std::wstring& root, const std::vector<std::wstring>& entries) {
    for (const std::wstring& entry : entries) {
        const std::wstring path = root + L"\\" + entry;
        if (entry.back() == L'\\')
            ASSERT_TRUE(MakeFolder(path.substr(0, path.size() - 1)))
                << testing::PrintToString(path);
        else
            ASSERT_TRUE(WriteBytes(path, std::string(entry.begin(), entry.end())))
                << testing::PrintToString(path);
    }
}

class TreeTest : public testing::Test {
protected:
    void SetUp() override {
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::string("tree-") + info->name();
        scratch_ = MakeScratchFolder(std::wstring(name.begin(), name.end()));
        source_ = scratch_ + L"\\source";
        destination_ = scratch_ + L"\\destination";
        outside_ = scratch_ + L"\\outside";
    }
    void TearDown() override { DeleteScratchTree(scratch_); }

    std::wstring scratch_, source_, destination_, outside_;
};

const std::vector<std::wstring> kSampleTree = {
    L"startClass.exe",
    L".hidden",
    L"..x",
    L"Installer\\",
    L"Installer\\setup.exe",
    L"ovikClient\\",
    L"ovikClient\\ScreenCapture.ax",
    L"ovikClient\\deep\\",
    L"ovikClient\\deep\\er\\",
    L"ovikClient\\deep\\er\\leaf.txt",
    L"empty\\",
};

}  // namespace

TEST_F(TreeTest, CopyReproducesTheWholeTreeIncludingDotNamesAndEmptyFolders) {
    MakeFolder(source_);
    Lay(source_, kSampleTree);
    EXPECT_TRUE(CopyDirectoryTree(source_, destination_));
    EXPECT_EQ(ListTree(destination_), ListTree(source_));
    EXPECT_EQ(ReadBytes(destination_ + L"\\ovikClient\\deep\\er\\leaf.txt"),
              "ovikClient\\deep\\er\\leaf.txt");
    EXPECT_EQ(ReadBytes(destination_ + L"\\..x"), "..x");
}

TEST_F(TreeTest, CopyCreatesMissingParentsOfTheDestination) {
    MakeFolder(source_);
    Lay(source_, {L"a.txt"});
    const std::wstring nested = scratch_ + L"\\one\\two\\three";
    EXPECT_TRUE(CopyDirectoryTree(source_, nested));
    EXPECT_EQ(ReadBytes(nested + L"\\a.txt"), "a.txt");
}

TEST_F(TreeTest, CopyOntoAnExistingTreeOverwritesAndKeepsExtraFiles) {
    MakeFolder(source_);
    Lay(source_, {L"same.txt", L"sub\\", L"sub\\same.txt"});
    MakeFolder(destination_);
    Lay(destination_, {L"extra.txt", L"sub\\", L"sub\\extra.txt"});
    WriteBytes(destination_ + L"\\same.txt", "old and longer content");
    EXPECT_TRUE(CopyDirectoryTree(source_, destination_));
    EXPECT_EQ(ReadBytes(destination_ + L"\\same.txt"), "same.txt");
    EXPECT_EQ(ReadBytes(destination_ + L"\\sub\\same.txt"), "sub\\same.txt");
    EXPECT_TRUE(PathExists(destination_ + L"\\extra.txt"));
    EXPECT_TRUE(PathExists(destination_ + L"\\sub\\extra.txt"));
}

TEST_F(TreeTest, CopyOfFoldersOnlyOrOfAnEmptySourceSucceeds) {
    MakeFolder(source_);
    Lay(source_, {L"a\\", L"a\\b\\", L"c\\"});
    EXPECT_TRUE(CopyDirectoryTree(source_, destination_));
    EXPECT_EQ(ListTree(destination_), (std::vector<std::wstring>{L"a\\", L"a\\b\\", L"c\\"}));

    const std::wstring empty = scratch_ + L"\\empty";
    const std::wstring emptyCopy = scratch_ + L"\\empty-copy";
    MakeFolder(empty);
    EXPECT_TRUE(CopyDirectoryTree(empty, emptyCopy));
    EXPECT_TRUE(IsFolder(emptyCopy));
    EXPECT_TRUE(ListTree(emptyCopy).empty());
}

TEST_F(TreeTest, CopyOfAMissingSourceLeavesAnEmptyDestinationAndFails) {
    EXPECT_FALSE(CopyDirectoryTree(source_, destination_));
    EXPECT_TRUE(IsFolder(destination_));
    EXPECT_TRUE(ListTree(destination_).empty());
}

TEST_F(TreeTest, CopyFailsWhenTheDestinationCannotBeCreated) {
    MakeFolder(source_);
    Lay(source_, {L"a.txt"});
    WriteBytes(destination_, "a plain file where the folder should go");
    EXPECT_FALSE(CopyDirectoryTree(source_, destination_));
    EXPECT_EQ(ReadBytes(destination_), "a plain file where the folder should go");
}

TEST_F(TreeTest, CopyFailsForOneBlockedFileAndStillCopiesAllOthers) {
    MakeFolder(source_);
    Lay(source_, {L"a.txt", L"blocked.txt", L"sub\\", L"sub\\z.txt"});
    MakeFolder(destination_);
    // A folder where a file should land blocks that one file only.
    MakeFolder(destination_ + L"\\blocked.txt");
    EXPECT_FALSE(CopyDirectoryTree(source_, destination_));
    EXPECT_EQ(ReadBytes(destination_ + L"\\a.txt"), "a.txt");
    EXPECT_EQ(ReadBytes(destination_ + L"\\sub\\z.txt"), "sub\\z.txt");
}

TEST_F(TreeTest, CopyOverAReadOnlyOrHiddenFileFailsForThatFileOnly) {
    if (!PlatformEnforcesReadOnly(scratch_))
        GTEST_SKIP() << "this platform lets read-only files be written (Wine as root)";
    MakeFolder(source_);
    Lay(source_, {L"a.txt", L"ro.txt", L"z.txt"});
    MakeFolder(destination_);
    WriteBytes(destination_ + L"\\ro.txt", "kept");
    SetFileAttributesW((destination_ + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(CopyDirectoryTree(source_, destination_));
    EXPECT_EQ(ReadBytes(destination_ + L"\\ro.txt"), "kept");
    EXPECT_EQ(ReadBytes(destination_ + L"\\a.txt"), "a.txt");
    EXPECT_EQ(ReadBytes(destination_ + L"\\z.txt"), "z.txt");
}

TEST_F(TreeTest, CopyCarriesReadOnlyAttributesSoASecondCopyOverThemFails) {
    MakeFolder(source_);
    Lay(source_, {L"ro.txt"});
    SetFileAttributesW((source_ + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(CopyDirectoryTree(source_, destination_));
    const DWORD attributes = GetFileAttributesW((destination_ + L"\\ro.txt").c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        << "attributes 0x" << std::hex << attributes;
    if (PlatformEnforcesReadOnly(scratch_)) {
        EXPECT_FALSE(CopyDirectoryTree(source_, destination_));
    }
}

TEST_F(TreeTest, CopyRefusesADestinationInsideOrEqualToTheSourceAndCreatesNothing) {
    MakeFolder(source_);
    Lay(source_, {L"a.txt", L"sub\\"});
    const std::vector<std::wstring> before = ListTree(source_);
    EXPECT_FALSE(CopyDirectoryTree(source_, source_));
    EXPECT_FALSE(CopyDirectoryTree(source_, source_ + L"\\copy"));
    EXPECT_FALSE(CopyDirectoryTree(source_, source_ + L"\\sub\\deeper\\copy"));
    EXPECT_FALSE(CopyDirectoryTree(source_, source_ + L"/sub/../copy"));
    // Case does not matter on Windows file systems.
    std::wstring upper = source_;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
    EXPECT_FALSE(CopyDirectoryTree(source_, upper + L"\\COPY"));
    EXPECT_EQ(ListTree(source_), before);
    // A sibling whose name merely starts with the source's name is fine.
    EXPECT_TRUE(CopyDirectoryTree(source_, source_ + L"-copy"));
}

TEST_F(TreeTest, CopyRefusesAnEmptySourceInsteadOfCopyingTheDriveRoot) {
    EXPECT_FALSE(CopyDirectoryTree(L"", destination_));
    EXPECT_FALSE(PathExists(destination_));
}

TEST_F(TreeTest, RemoveDeletesEverythingIncludingReadOnlyHiddenAndSystemFiles) {
    MakeFolder(source_);
    Lay(source_, kSampleTree);
    const std::wstring locked = source_ + L"\\ovikClient\\ScreenCapture.ax";
    SetFileAttributesW(locked.c_str(),
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    SetFileAttributesW((source_ + L"\\.hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesW((source_ + L"\\..x").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(RemoveDirectoryTree(source_));
    EXPECT_FALSE(PathExists(source_));
}

TEST_F(TreeTest, RemoveOfAMissingPathFails) {
    EXPECT_FALSE(RemoveDirectoryTree(scratch_ + L"\\nothing-here"));
}

TEST_F(TreeTest, RemoveLeavesAFileHeldOpenAndItsFoldersButDeletesTheRest) {
    MakeFolder(source_);
    Lay(source_, {L"a.txt", L"busy\\", L"busy\\open.txt", L"busy\\b.txt", L"z\\", L"z\\z.txt"});
    const HANDLE open = CreateFileW((source_ + L"\\busy\\open.txt").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);
    SetFileAttributesW((source_ + L"\\busy\\open.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(RemoveDirectoryTree(source_));
    CloseHandle(open);
    EXPECT_EQ(ListTree(source_), (std::vector<std::wstring>{L"busy\\", L"busy\\open.txt"}));
    // The survivor has already lost its read-only attribute.
    const DWORD attributes = GetFileAttributesW((source_ + L"\\busy\\open.txt").c_str());
    EXPECT_EQ(
        attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u)
        << "attributes 0x" << std::hex << attributes;
}

TEST_F(TreeTest, RemoveNeverDeletesWhatALinkedFolderPointsTo) {
    if (!IsRunningUnderWine())
        GTEST_SKIP() << "links are made as host symlinks under Wine";
    MakeFolder(outside_);
    Lay(outside_, {L"precious.txt", L"sub\\", L"sub\\precious.txt"});
    MakeFolder(source_);
    Lay(source_, {L"a.txt"});
    ASSERT_TRUE(MakeHostSymlink(outside_, source_ + L"\\link"));
    ASSERT_EQ(GetFileAttributesW((source_ + L"\\link").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT,
              static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
    const bool removed = RemoveDirectoryTree(source_);
    EXPECT_EQ(ListTree(outside_),
              (std::vector<std::wstring>{L"precious.txt", L"sub\\", L"sub\\precious.txt"}));
    EXPECT_FALSE(PathExists(source_ + L"\\a.txt"));
    // Wine cannot remove a host symlink from Windows code, so the link and
    // with it the top folder survive there; on Windows both are gone.
    EXPECT_EQ(removed, !PathExists(source_));
}

TEST_F(TreeTest, RemoveOfALinkedTopFolderLeavesItsTargetAlone) {
    if (!IsRunningUnderWine())
        GTEST_SKIP() << "links are made as host symlinks under Wine";
    MakeFolder(outside_);
    Lay(outside_, {L"precious.txt"});
    ASSERT_TRUE(MakeHostSymlink(outside_, source_));
    RemoveDirectoryTree(source_);
    EXPECT_EQ(ReadBytes(outside_ + L"\\precious.txt"), "precious.txt");
}

TEST_F(TreeTest, CopyFollowsALinkedFolderToItsContent) {
    if (!IsRunningUnderWine())
        GTEST_SKIP() << "links are made as host symlinks under Wine";
    MakeFolder(outside_);
    Lay(outside_, {L"shared.txt"});
    MakeFolder(source_);
    ASSERT_TRUE(MakeHostSymlink(outside_, source_ + L"\\linked"));
    EXPECT_TRUE(CopyDirectoryTree(source_, destination_));
    EXPECT_EQ(ReadBytes(destination_ + L"\\linked\\shared.txt"), "shared.txt");
    const DWORD attributes = GetFileAttributesW((destination_ + L"\\linked").c_str());
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << "copied as a plain folder";
}

TEST_F(TreeTest, CopyDoesNotFollowALinkCycleButCopiesEverythingElse) {
    if (!IsRunningUnderWine())
        GTEST_SKIP() << "links are made as host symlinks under Wine";
    MakeFolder(source_);
    Lay(source_, {L"a.txt", L"sub\\", L"sub\\b.txt"});
    ASSERT_TRUE(MakeHostSymlink(source_, source_ + L"\\sub\\back-to-top"));
    ASSERT_TRUE(MakeHostSymlink(source_ + L"\\sub", source_ + L"\\sub\\self"));
    EXPECT_FALSE(CopyDirectoryTree(source_, destination_));
    EXPECT_EQ(ReadBytes(destination_ + L"\\a.txt"), "a.txt");
    EXPECT_EQ(ReadBytes(destination_ + L"\\sub\\b.txt"), "sub\\b.txt");
    EXPECT_FALSE(PathExists(destination_ + L"\\sub\\back-to-top\\a.txt"));
    EXPECT_FALSE(PathExists(destination_ + L"\\sub\\self\\b.txt"));
}

TEST_F(TreeTest, CopyDoesNotFollowALinkIntoTheDestination) {
    if (!IsRunningUnderWine())
        GTEST_SKIP() << "links are made as host symlinks under Wine";
    MakeFolder(source_);
    Lay(source_, {L"a.txt"});
    MakeFolder(destination_);
    ASSERT_TRUE(MakeHostSymlink(destination_, source_ + L"\\to-destination"));
    EXPECT_FALSE(CopyDirectoryTree(source_, destination_));
    EXPECT_EQ(ReadBytes(destination_ + L"\\a.txt"), "a.txt");
    EXPECT_FALSE(PathExists(destination_ + L"\\to-destination\\a.txt"));
}
