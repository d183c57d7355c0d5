// The world the tests run in: Windows 10, the system the installer is for,
// and no drive that shows the host's root (a prefix of Wine's own making maps
// it as Z:), so that a walk gone wrong in a test stays inside the folders the
// session maps.
#include "shellops/shellops.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

namespace {

TEST(TestWorld, ReportsWindows10) {
    if (!IsInsideTestPrefix())
        GTEST_SKIP() << "only the test session's prefix is made to report Windows 10";
    // RtlGetVersion, as the check kit's report reads it: GetVersionExW tells
    // a program without a compatibility manifest Windows 8.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    ASSERT_NE(rtlGetVersion, nullptr);
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_EQ(rtlGetVersion(&version), 0);
    EXPECT_EQ(version.dwMajorVersion, 10u);
    EXPECT_EQ(version.dwMinorVersion, 0u);
    // Windows 11 reports 10.0 too, from build 22000 on.
    EXPECT_GE(version.dwBuildNumber, 10240u);
    EXPECT_LT(version.dwBuildNumber, 22000u);
}

TEST(TestWorld, NoDriveShowsTheHostRoot) {
    if (!IsInsideTestPrefix())
        GTEST_SKIP() << "only the test session's prefix is made without the host's root";
    // Every letter, mapped or not: GetLogicalDrives keeps the drives that
    // Wine's services saw when they started.
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const std::wstring root = std::wstring(1, letter) + L":\\";
        EXPECT_EQ(GetFileAttributesW((root + L"etc\\passwd").c_str()), INVALID_FILE_ATTRIBUTES)
            << root << " holds the host's etc/passwd";
        EXPECT_NE(HostPath(root), "/") << root << " is the host's root";
    }
    // What the session does map: this program on the build tree's W:, and
    // the host programs that tests start on H:.
    EXPECT_EQ(GetExecutableDirectory().substr(0, 3), L"W:\\");
    EXPECT_NE(GetFileAttributesW(HostProgram(L"rm").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
