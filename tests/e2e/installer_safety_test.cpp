// What the real setup.exe must not do: follow a linked folder out of the
// install root, copy a drive into itself or the folder above a medium whose
// path it could only read cut short, or start a taskkill.exe that somebody
// put beside it on the medium.
#include "shellops/shellops.h"
#include "checkkit/text.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/planted_marker.h"
#include "tests/support/medium.h"
#include "tests/support/scratch.h"

#include <algorithm>

namespace {

const std::wstring kOutside = L"C:\\ovik-e2e-outside";
const std::wstring kLink = L"C:\\ovikProgram\\ovikClient\\linked";
const std::wstring kRootInstallerFolder = L"C:\\Installer";
const std::wstring kDeep = L"C:\\ovik-e2e-deep";

// Names directly in `folder`, sorted; unlike ListTree it does not descend.
std::vector<std::wstring> TopLevelNames(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        names.push_back(entry.cFileName);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

// A small tree outside the install root that must come through untouched.
void MakeOutsideTree() {
    MakeFolder(kOutside);
    MakeFolder(kOutside + L"\\deeper");
    WriteBytes(kOutside + L"\\keep.txt", "keep me");
    WriteBytes(kOutside + L"\\deeper\\keep-too.txt", "keep me too");
}

void ExpectOutsideTreeIntact() {
    EXPECT_EQ(ListTree(kOutside),
              (std::vector<std::wstring>{L"deeper\\", L"deeper\\keep-too.txt", L"keep.txt"}));
    EXPECT_EQ(ReadBytes(kOutside + L"\\keep.txt"), "keep me");
    EXPECT_EQ(ReadBytes(kOutside + L"\\deeper\\keep-too.txt"), "keep me too");
}

// Unlinks a host symbolic link on the host. Windows code cannot do that
// under Wine: RemoveDirectoryW on a link to an empty folder removes the
// folder behind it and leaves the link dangling, invisible to FindFirstFileW.
void RemoveHostLink(const std::wstring& link) {
    const std::string host = HostPath(link);
    if (host.empty())
        return;
    std::wstring commandLine = L"rm -f \"" + std::wstring(host.begin(), host.end()) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(HostProgram(L"rm").c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &started))
        return;
    WaitForSingleObject(started.hProcess, 10000);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    // Wine may report the host program ended before it has done its work.
    for (int i = 0; i < 100 && PathExists(link); ++i)
        Sleep(50);
}

// Moves a staged copy of the sample medium to kDeep\<name>\ddd...\medium,
// beside a file of its own, so that its setup.exe has a path of exactly
// `exeLength` characters. The shell's copy stops at MAX_PATH, so the copy is
// made at a short path and the folder renamed into place. Returns the
// installer's path; empty when it could not be staged.
std::wstring StageDeepMedium(const std::wstring& name, size_t exeLength) {
    const std::wstring tail = L"\\medium\\Installer\\setup.exe";
    std::wstring folder = kDeep + L"\\" + name;
    MakeFolder(kDeep);
    MakeFolder(folder);
    while (folder.size() + tail.size() < exeLength) {
        // Components of at most 150 characters, the last one of at least two.
        const size_t room = exeLength - tail.size() - folder.size();
        folder += L"\\" + std::wstring((room > 201 ? 150 : room) - 1, L'd');
        MakeFolder(folder);
    }
    const std::wstring staging = kDeep + L"\\staging";
    const std::wstring medium = folder + L"\\medium";
    if (!StageMedium(BuiltMediumFolder(), staging) || !MoveFileW(staging.c_str(), medium.c_str()) ||
        !WriteBytes(folder + L"\\sibling.txt", "not part of the medium"))
        return std::wstring();
    return medium + L"\\Installer\\setup.exe";
}

class InstallerSafetyTest : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        DeleteScratchTree(kOutside);
        DeleteScratchTree(kDeep);
        DeleteFileW(kPlantedMarker);
    }
    void TearDown() override {
        // The link goes first, so that the outside tree is removed through
        // its own path only.
        EndInstaller();
        RemoveHostLink(kLink);
        InstallerTest::TearDown();
        DeleteScratchTree(kOutside);
        DeleteScratchTree(kRootInstallerFolder);
        DeleteScratchTree(kDeep);
        DeleteFileW(kPlantedMarker);
    }

    // Wine's CreateProcessW takes no program path of MAX_PATH characters or
    // more; its host launcher does.
    void StartThroughHostWine(const std::wstring& exePath) {
        installer_ = std::make_unique<InstallerProcess>();
        ASSERT_TRUE(StartInstallerThroughHostWine(exePath, *installer_))
            << "no installer window from " << Narrow(exePath);
    }
};

}  // namespace

TEST_F(InstallerSafetyTest, UninstallLeavesWhatALinkedFolderInTheTreePointsTo) {
    MakeOutsideTree();
    Start();
    ExpectBoxes(Run(kInstallButton, {IDNO, IDOK}), {kRegisterBox, kInstalledBox},
                installer_->window);
    const std::wstring& link = kLink;
    ASSERT_TRUE(MakeHostSymlink(kOutside, link));
    const DWORD attributes = GetFileAttributesW(link.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    ASSERT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    ASSERT_NE(attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << "not shown as a linked folder";
    ASSERT_EQ(ReadBytes(link + L"\\keep.txt"), "keep me");

    // Under Wine the link is a host symbolic link, which no Windows call can
    // remove; it and the folders above it stay, so the uninstall warns. On
    // Windows a junction would go and the uninstall would complete. Either
    // way nothing behind the link may be touched.
    ExpectBoxes(Run(kUninstallButton, {IDOK}), {kNotRemovedBox}, installer_->window);
    ExpectOutsideTreeIntact();
    EXPECT_EQ(ListTree(kRoot),
              (std::vector<std::wstring>{L"ovikClient\\", L"ovikClient\\linked\\"}));
    EXPECT_FALSE(PathExists(ShortcutPath()));
}

TEST_F(InstallerSafetyTest, AnInstallerInTheDriveRootsInstallerFolderCopiesNothing) {
    // Its source root is "C:", which holds the install root itself.
    ASSERT_FALSE(PathExists(kRootInstallerFolder));
    ASSERT_FALSE(PathExists(kRoot));
    ASSERT_TRUE(MakeFolder(kRootInstallerFolder));
    const std::wstring exe = kRootInstallerFolder + L"\\setup.exe";
    ASSERT_TRUE(CopyFileW(kStagedInstaller.c_str(), exe.c_str(), FALSE));
    MakeOutsideTree();
    const std::vector<std::wstring> driveBefore = TopLevelNames(L"C:");

    Start(exe);
    ExpectBoxes(Run(kInstallButton, {IDOK}), {kCopyFailedBox}, installer_->window);
    EXPECT_FALSE(PathExists(kRoot)) << "the install root was created";
    EXPECT_EQ(TopLevelNames(L"C:"), driveBefore);
    EXPECT_EQ(ListTree(kRootInstallerFolder), std::vector<std::wstring>{L"setup.exe"});
    ExpectOutsideTreeIntact();
    EXPECT_FALSE(PathExists(ShortcutPath()));
    EXPECT_FALSE(IsCaptureRegistered());
}

TEST_F(InstallerSafetyTest, UninstallDoesNotRunATaskkillPlantedBesideTheInstaller) {
    const std::wstring planted = std::wstring(kE2eMedium) + L"\\Installer\\taskkill.exe";
    ASSERT_TRUE(
        CopyFileW(BesideTestProgram(L"planted\\taskkill.exe").c_str(), planted.c_str(), FALSE));
    // The plant leaves its marker when it runs.
    const HANDLE probe = StartProgram(planted);
    ASSERT_NE(probe, nullptr);
    WaitForSingleObject(probe, 10000);
    CloseHandle(probe);
    ASSERT_TRUE(PathExists(kPlantedMarker)) << "the planted program does not leave its marker";
    ASSERT_TRUE(DeleteFileW(kPlantedMarker));

    Start();
    ExpectBoxes(Run(kInstallButton, {IDNO, IDOK}), {kRegisterBox, kInstalledBox},
                installer_->window);
    const HANDLE client = StartProgram(kClientPath);
    ASSERT_NE(client, nullptr);
    ExpectBoxes(Run(kUninstallButton, {IDOK}), {kUninstalledBox}, installer_->window);
    const bool clientEnded = WaitForSingleObject(client, 0) == WAIT_OBJECT_0;
    if (!clientEnded)
        TerminateProcess(client, 1);
    CloseHandle(client);

    EXPECT_FALSE(PathExists(kPlantedMarker))
        << "the planted taskkill.exe ran: " << ReadBytes(kPlantedMarker);
    EXPECT_TRUE(clientEnded) << "startClass.exe still runs";
    EXPECT_FALSE(PathExists(kRoot));
}

TEST_F(InstallerSafetyTest, AnInstallerPathPastTheModuleBufferCopiesNothing) {
    // 259 characters and the NUL just fill the 260-character buffer: that
    // path is whole, and the medium installs as from anywhere else.
    const std::wstring fits = StageDeepMedium(L"fits", 259);
    ASSERT_EQ(fits.size(), 259u);
    const std::wstring fitsMedium = GetParentPath(GetParentPath(fits));
    ASSERT_EQ(ListTree(fitsMedium), ListTree(kE2eMedium)) << "the deep medium is not whole";
    StartThroughHostWine(fits);
    ExpectBoxes(Run(kInstallButton, {IDNO, IDOK}), {kRegisterBox, kInstalledBox},
                installer_->window);
    EXPECT_EQ(ListTree(kRoot), ListTree(fitsMedium));
    EndInstaller();
    ResetInstallState();

    // Past it the path comes back cut after "...\medium\Installe", whose
    // parent is the medium and whose source root the folder above it.
    const std::wstring cut = StageDeepMedium(L"cut", 270);
    ASSERT_EQ(cut.size(), 270u);
    ASSERT_TRUE(PathExists(cut));
    StartThroughHostWine(cut);
    const std::vector<ShownBox> shown = Run(kInstallButton, {IDOK});
    std::string installed;
    for (const std::wstring& entry : ListTree(kRoot))
        installed += " " + Narrow(entry);
    ExpectBoxes(shown, {kCopyFailedBox}, installer_->window);
    EXPECT_FALSE(PathExists(kRoot)) << "installed:" << installed;
    EXPECT_FALSE(PathExists(ShortcutPath()));
}
