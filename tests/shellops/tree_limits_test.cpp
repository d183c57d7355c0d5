// The tree walks at the platform's limits: a volume that runs full, and a
// tree deeper than MAX_PATH.
#include "shellops/shellops.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

namespace {

class TreeLimitsTest : public testing::Test {
protected:
    void SetUp() override {
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::string("limits-") + info->name();
        scratch_ = MakeScratchFolder(std::wstring(name.begin(), name.end()));
    }
    void TearDown() override { DeleteScratchTree(scratch_); }
    std::wstring scratch_;
};

// The small volume that the test command mounts for this build, if any.
std::wstring SmallVolume() { return GetParentPath(GetExecutableDirectory()) + L"\\small-volume"; }

}  // namespace

TEST_F(TreeLimitsTest, CopyOntoAFullVolumeFailsLeavesTheSourceAndIsRemovable) {
    const std::wstring volume = SmallVolume();
    ULARGE_INTEGER freeBytes = {}, totalBytes = {};
    if (!GetDiskFreeSpaceExW((volume + L"\\").c_str(), &freeBytes, &totalBytes, nullptr) ||
        totalBytes.QuadPart > 16ull * 1024 * 1024)
        GTEST_SKIP() << "no small volume mounted at build/mingw/small-volume (the test command "
                        "mounts one when run as root)";

    // Twice as much as the volume holds, in 256 KB files.
    const std::wstring source = scratch_ + L"\\source";
    ASSERT_TRUE(MakeFolder(source));
    const std::string chunk(std::size_t{256} * 1024, 'x');
    const int files = static_cast<int>(2 * totalBytes.QuadPart / chunk.size()) + 1;
    for (int i = 0; i < files; ++i)
        ASSERT_TRUE(WriteBytes(source + L"\\file" + std::to_wstring(i) + L".bin", chunk));
    const std::vector<std::wstring> before = ListTree(source);

    const std::wstring destination = volume + L"\\install";
    EXPECT_FALSE(CopyDirectoryTree(source, destination));
    EXPECT_EQ(ListTree(source), before);
    for (int i = 0; i < files; i += 7)
        EXPECT_EQ(ReadBytes(source + L"\\file" + std::to_wstring(i) + L".bin").size(), chunk.size());

    EXPECT_TRUE(RemoveDirectoryTree(destination));
    EXPECT_FALSE(PathExists(destination));
    ULARGE_INTEGER freeAfter = {};
    GetDiskFreeSpaceExW((volume + L"\\").c_str(), &freeAfter, nullptr, nullptr);
    EXPECT_EQ(freeAfter.QuadPart, freeBytes.QuadPart);
}

TEST_F(TreeLimitsTest, TreesDeeperThanMaxPathFollowThePlatformsPathLimit) {
    // 30 levels of 10 characters put the leaf well past MAX_PATH. The tree
    // is laid with extended-length paths, which have no such limit.
    const std::wstring source = scratch_ + L"\\source";
    const std::wstring outside = scratch_ + L"\\outside.txt";
    ASSERT_TRUE(MakeFolder(source));
    ASSERT_TRUE(WriteBytes(outside, "outside"));
    std::wstring level = source;
    for (int i = 0; i < 30; ++i) {
        level += L"\\level-" + std::to_wstring(100 + i);
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + level).c_str(), nullptr));
        ASSERT_TRUE(WriteBytes(L"\\\\?\\" + level + L"\\f.txt", "deep"));
    }
    ASSERT_GT(level.size(), static_cast<size_t>(MAX_PATH));

    // Whether plain paths past MAX_PATH work is the platform's matter (Wine
    // takes them; Windows refuses them to programs that do not opt in).
    const std::wstring probe = level + L"\\probe";
    const bool longPathsWork = CreateDirectoryW(probe.c_str(), nullptr) != 0;
    if (longPathsWork) RemoveDirectoryW(probe.c_str());

    const std::wstring destination = scratch_ + L"\\destination";
    const bool copied = CopyDirectoryTree(source, destination);
    EXPECT_EQ(copied, longPathsWork);
    EXPECT_EQ(ReadBytes(destination + L"\\level-100\\f.txt"), "deep");
    const std::wstring deepestCopy = destination + level.substr(source.size()) + L"\\f.txt";
    EXPECT_EQ(ReadBytes(L"\\\\?\\" + deepestCopy) == "deep", longPathsWork);

    const bool removed = RemoveDirectoryTree(source);
    EXPECT_EQ(removed, longPathsWork);
    EXPECT_FALSE(PathExists(source + L"\\level-100\\f.txt"));
    EXPECT_EQ(ReadBytes(outside), "outside");
}
