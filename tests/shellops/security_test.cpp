#include "checkkit/driver/descriptor_access.h"
#include "shellops/shellops.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <cstdio>

namespace {

std::wstring Sddl(PSECURITY_DESCRIPTOR descriptor) {
    LPWSTR text = nullptr;
    if (!descriptor || !ConvertSecurityDescriptorToStringSecurityDescriptorW(
                           descriptor, SDDL_REVISION_1,
                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr))
        return std::wstring();
    const UniqueLocalMemory owner(text);
    return text;
}

UniqueLocalMemory Descriptor(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                         nullptr);
    return UniqueLocalMemory(descriptor);
}

bool SetDacl(const std::wstring& path, const std::wstring& sddl) {
    const UniqueLocalMemory descriptor = Descriptor(sddl);
    return descriptor &&
           SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.get());
}

bool HeldSafe(const std::wstring& path, const std::wstring& user) {
    DWORD needed = 0;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    GetFileSecurityW(path.c_str(), wanted, nullptr, 0, &needed);
    std::vector<unsigned char> held(needed ? needed : 1);
    return GetFileSecurityW(path.c_str(), wanted, held.data(), needed, &needed) &&
           OnlyOwnersMayChange(held.data(), user);
}

}  // namespace

// Each account's rights on what the install root's descriptor gives the
// root, the scripts folder (made with the same descriptor), and by
// inheritance the client's folder, the library and the executable. Delete
// counts the parent's right to delete what it holds.
TEST(InstallSecurityTest, OnlyTheInstallingAccountAdministratorsAndSystemMayChangeTheTree) {
    const std::wstring user = GetCurrentUserSid();
    ASSERT_FALSE(user.empty());
    const UniqueLocalMemory top = MakeInstallSecurity(user, InstallSecurityForm::kTop);
    const std::wstring root = Sddl(top.get());
    ASSERT_EQ(root.rfind(L"D:PAI(", 0), 0u) << "protected from C:\\'s permissions: " << root;
    std::printf("  root descriptor: %ls\n", root.c_str());
    const std::wstring client = InheritedSddl(root, true, user);
    const struct {
        const char* name;
        std::wstring sddl, parent;
    } objects[] = {{"install root", root, L""},
                   {"library", InheritedSddl(client, false, user), client},
                   {"startClass.exe", InheritedSddl(root, false, user), root},
                   {"Installer\\", root, root}};
    for (const AccountToCheck& account : AccountsToCheck(user)) {
        const bool trusted = account.user == user || account.user == L"S-1-5-18" ||
                             account.groups == std::vector<std::wstring>{L"S-1-5-32-544"};
        std::printf("  %-22s", account.name);
        for (const auto& object : objects) {
            ACCESS_MASK granted = 0, parentGranted = 0;
            std::string why;
            ASSERT_TRUE(AccessGranted(object.sddl, user, account, granted, why)) << why;
            if (!object.parent.empty()) {
                ASSERT_TRUE(AccessGranted(object.parent, user, account, parentGranted, why)) << why;
                if (parentGranted & FILE_DELETE_CHILD)
                    granted |= DELETE;
            }
            std::printf(" | %s", RightsText(granted).c_str());
            EXPECT_EQ(RightsText(granted),
                      trusted ? "read write delete permissions owner" : "read - - - -")
                << account.name << " on " << object.name;
            EXPECT_TRUE(granted & FILE_EXECUTE) << account.name << " on " << object.name;
        }
        std::printf("\n");
    }
}

TEST(InstallSecurityTest, ChildFormsAreWhatTheRootPassesOnAndBadSidsMakeNone) {
    const std::wstring user = GetCurrentUserSid();
    const std::wstring root = Sddl(MakeInstallSecurity(user, InstallSecurityForm::kTop).get());
    const auto dacl = [](const std::wstring& sddl) { return sddl.substr(sddl.find(L"D:")); };
    EXPECT_EQ(dacl(Sddl(MakeInstallSecurity(user, InstallSecurityForm::kInheritedFolder).get())),
              dacl(InheritedSddl(root, true, user)));
    EXPECT_EQ(dacl(Sddl(MakeInstallSecurity(user, InstallSecurityForm::kInheritedFile).get())),
              dacl(InheritedSddl(root, false, user)));
    EXPECT_FALSE(MakeInstallSecurity(L"", InstallSecurityForm::kTop));
    EXPECT_FALSE(MakeInstallSecurity(L"S-1-5-18)(A;OICI;FA;;;WD", InstallSecurityForm::kTop));
}

TEST(InstallSecurityTest, OnlyOwnersMayChangeJudgesOwnerAndEveryGrant) {
    const std::wstring user = GetCurrentUserSid();
    const std::wstring other = L"S-1-5-21-7-7-7-1001";
    const std::wstring ours =
        L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + L")(A;OICI;0x1200a9;;;WD)";
    const struct {
        std::wstring sddl;
        bool safe;
    } cases[] = {
        {L"O:" + user + ours, true},
        {L"O:BA" + ours, true},
        {L"O:" + other + ours, false},  // squatted: its owner may open it again
        {L"O:" + user + L"D:(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;AU)", false},  // drive root's
        {L"O:" + user + L"D:(A;OICIIO;0x10000;;;AU)", false},     // passed on to what is made
        {L"O:" + user + L"D:(A;;0x40;;;" + other + L")", false},  // delete what it holds
        {L"O:" + user + L"D:(A;;GW;;;WD)", false},
        {L"O:" + user + L"D:(D;;FA;;;WD)(A;;FA;;;" + user + L")", true},
        {L"O:" + user + L"D:(A;OICIIO;FA;;;CO)(A;;0x1200a9;;;BU)", true},
    };
    for (const auto& c : cases) {
        const UniqueLocalMemory descriptor = Descriptor(c.sddl);
        ASSERT_TRUE(descriptor) << testing::PrintToString(c.sddl);
        EXPECT_EQ(OnlyOwnersMayChange(descriptor.get(), user), c.safe)
            << testing::PrintToString(c.sddl);
    }
    SECURITY_DESCRIPTOR noDacl;
    InitializeSecurityDescriptor(&noDacl, SECURITY_DESCRIPTOR_REVISION);
    EXPECT_FALSE(OnlyOwnersMayChange(&noDacl, user));
}

// Wine keeps a DACL as the entry's Unix mode bits, so what it reads back
// tells only whether others may write; that is enough to see the tree change.
TEST(InstallSecurityTest, SecureInstallTreeClosesAnOpenTreeOfThisAccount) {
    const std::wstring user = GetCurrentUserSid();
    const std::wstring scratch = MakeScratchFolder(L"security-open-tree");
    const std::wstring root = scratch + L"\\root";
    ASSERT_TRUE(MakeFolder(root));
    ASSERT_TRUE(MakeFolder(root + L"\\ovikClient"));
    ASSERT_TRUE(WriteBytes(root + L"\\ovikClient\\ScreenCapture.ax", "library"));
    const std::wstring open = L"D:(A;OICI;FA;;;WD)";
    for (const std::wstring& path :
         {root, root + L"\\ovikClient", root + L"\\ovikClient\\ScreenCapture.ax"}) {
        ASSERT_TRUE(SetDacl(path, open));
        ASSERT_FALSE(HeldSafe(path, user)) << testing::PrintToString(path);
    }
    EXPECT_TRUE(SecureInstallTree(root, user));
    for (const std::wstring& path :
         {root, root + L"\\ovikClient", root + L"\\ovikClient\\ScreenCapture.ax"})
        EXPECT_TRUE(HeldSafe(path, user)) << testing::PrintToString(path);
    EXPECT_EQ(ReadBytes(root + L"\\ovikClient\\ScreenCapture.ax"), "library");
    EXPECT_FALSE(SecureInstallTree(root + L"\\ovikClient\\ScreenCapture.ax", user));
    EXPECT_FALSE(SecureInstallTree(scratch + L"\\missing", user));
    DeleteScratchTree(scratch);
}
