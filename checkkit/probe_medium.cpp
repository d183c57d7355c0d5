#include "checkkit/probe_medium.h"

#include "checkkit/check_run.h"
#include "checkkit/driver/files.h"
#include "checkkit/driver/installer_boxes.h"
#include "checkkit/driver/installer_driver.h"
#include "checkkit/expected.h"
#include "checkkit/permission_checks.h"
#include "checkkit/probe_standin.h"
#include "checkkit/text.h"
#include "checkkit/tree_checks.h"
#include "checkkit/window_checks.h"
#include "checkkit/workflow_checks.h"
#include "shellops/handles.h"
#include "shellops/shellops.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

namespace {

// What the installer must do (checkkit/expected.h), as names below a root.
constexpr const wchar_t* kInstallRootPath = expected::kInstallRoot;
constexpr const wchar_t* kRegisterScriptName = expected::kRegisterScript + 1;
constexpr const wchar_t* kLibraryName = expected::kCaptureLibrary + 1;
constexpr const wchar_t* kSetupName = expected::kSetupExe + 1;

// The probe medium. Its root is one character shorter than the install
// root, so every entry's path on the medium is as long as installed, less
// one: the deep entry, 259 characters installed, stays within MAX_PATH here.
constexpr wchar_t kProbeRoot[] = L"C:\\ovik-probe";

constexpr wchar_t kPlainFile[] = L"readme.txt";   // changed in the install root between installs
constexpr wchar_t kLockedFile[] = L"locked.txt";  // held open, unshared, for the failing copy
constexpr wchar_t kExtraFile[] = L"extra.txt";    // only in the install root
const wchar_t* const kPlantedTools[] = {L"regsvr32.exe", L"cmd.exe", L"taskkill.exe"};

// Every check of the probe, in the order it runs.
const char* const kProbeChecks[] = {"probe-medium",
                                    "probe-window",
                                    "probe-install",
                                    "probe-installed-tree",
                                    "probe-install-from-install-root",
                                    "probe-overwrite-no",
                                    "probe-overwrite-yes",
                                    "probe-uninstall-running-client",
                                    "probe-uninstall-again",
                                    "probe-copy-fails",
                                    "probe-register-no",
                                    "probe-scripts-folder",
                                    "probe-no-library",
                                    "probe-plain-file-root",
                                    "probe-open-install-root",
                                    "probe-planted-tools",
                                    "probe-closes-from-frame"};

// The deep entry: folders of 60, 60, 60 and 43 characters below "deep", so
// that the deepest folder is 246 characters installed (Windows makes folders
// of up to 248) and the file in it 259, the longest path the copy can reach.
std::wstring DeepFolder() {
    return L"deep\\" + std::wstring(60, L'a') + L"\\" + std::wstring(60, L'b') + L"\\" +
           std::wstring(60, L'c') + L"\\" + std::wstring(43, L'd');
}

struct MediumFile {
    std::wstring name;
    std::string bytes;
    DWORD attributes;  // 0: none set
};

// The probe's own files; setup.exe, the library and the stand-ins come on top.
std::vector<MediumFile> ProbeFiles() {
    return {
        {kPlainFile, "probe medium of ovik-check\r\n", 0},
        {L"日本語の名前.txt", "a Japanese name\r\n", 0},
        {L"long-" + std::wstring(195, L'n') + L".txt", "a long name\r\n", 0},
        {L"hidden.txt", "a hidden file\r\n", FILE_ATTRIBUTE_HIDDEN},
        {L"system.dat", "a system file\r\n", FILE_ATTRIBUTE_SYSTEM},
        {L"読み取り専用.txt", "a read-only file\r\n", FILE_ATTRIBUTE_READONLY},
        {kLockedFile, "a file the failing copy cannot read\r\n", 0},
        {DeepFolder() + L"\\deep-end.txt", "259 characters installed\r\n", 0},
    };
}
const wchar_t kEmptyFolder[] = L"空のフォルダー";

// ---- Files -------------------------------------------------------------------

std::wstring KnownFolder(const KNOWNFOLDERID& id) {
    PWSTR path = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)))
        folder = path;
    CoTaskMemFree(path);
    return folder;
}

std::wstring MarkerFolder() {
    const std::wstring publicFolder = KnownFolder(FOLDERID_Public);
    return publicFolder.empty() ? std::wstring() : publicFolder + kPlantedMarkerFolder;
}

std::wstring ShortcutPath() {
    return KnownFolder(FOLDERID_Desktop) + expected::kShortcutFile;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    const UniqueHandle file = MakeUniqueHandle(CreateFileW(
        path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

// Makes `relative` below `root`, one folder at a time.
bool MakeFolders(const std::wstring& root, const std::wstring& relative) {
    for (size_t end = 0; end != std::wstring::npos;) {
        end = relative.find(L'\\', end + 1);
        const std::wstring folder = root + L"\\" + relative.substr(0, end);
        if (!CreateDirectoryW(folder.c_str(), nullptr) && !IsFolder(folder))
            return false;
    }
    return true;
}

// Removes `root` and everything below it, whatever the attributes.
void RemoveTree(const std::wstring& root) {
    const std::vector<std::wstring> names = ListTree(root);
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        const std::wstring path = root + L"\\" + *name;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (name->back() == L'\\')
            RemoveDirectoryW(path.c_str());
        else
            DeleteFileW(path.c_str());
    }
    RemoveDirectoryW(root.c_str());
}

std::string ResourceBytes(int id) {
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(id), RT_RCDATA);
    const HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    return bytes ? std::string(bytes, SizeofResource(nullptr, resource)) : std::string();
}

// ---- The run -----------------------------------------------------------------

class ProbeRun {
public:
    explicit ProbeRun(const CheckSetup& setup) : setup_(setup) {}
    std::vector<CheckResult> Go(const std::vector<CheckResult>& before);

private:
    bool Check(const char* name, const std::function<Problems()>& check) {
        return run_.Check(name, check);
    }
    bool Installer(Problems& problems);
    void EndInstaller();
    // One path of a workflow: its boxes, and the calls recorded inside the
    // installer, which are the boxes' own but for those in `launches`.
    Problems Workflow(int button, const std::vector<int>& answers,
                      const std::vector<ExpectedBox>& boxes,
                      const std::vector<ExpectedCall>& calls);
    Problems Workflow(int button, const std::vector<int>& answers,
                      const std::vector<ExpectedBox>& boxes);
    // Removes the install root and the shortcut that a path of the probe left.
    Problems CleanUp(const char* after);
    // After an install that ended as usual: the probe medium installed byte
    // for byte and the shortcut made, then both removed; adds to `problems`.
    void InstalledAsUsual(const char* after, Problems& problems);

    Problems WriteMedium();
    Problems Install();
    Problems InstalledTree();
    Problems InstallFromInstallRoot();
    Problems OverwriteNo();
    Problems OverwriteYes();
    Problems UninstallRunningClient();
    Problems UninstallAgain();
    Problems CopyFails();
    Problems RegisterNo();
    Problems ScriptsFolder();
    Problems NoLibrary();
    Problems PlainFileRoot();
    Problems OpenInstallRoot();
    Problems PlantedTools();
    Problems ClosesFromFrame();

    const CheckSetup& setup_;
    CheckRun run_{std::vector<const char*>(std::begin(kProbeChecks), std::end(kProbeChecks))};
    std::unique_ptr<InstallerProcess> installer_;
    bool hasLibrary_ = false;
    bool madeRoot_ = false;  // the probe medium is the kit's to remove
    Tree medium_;
};

// Cancel on the probe medium's installer, when it runs, and its end awaited.
void ProbeRun::EndInstaller() {
    if (installer_ && IsWindow(installer_->window)) {
        ClickButton(GetDlgItem(installer_->window, expected::kCancelButtonId));
        DWORD exitCode = 0;
        WaitForExit(installer_->process, 10000, exitCode);
    }
    installer_.reset();
}

// The probe medium's installer, started again when an earlier step ended it.
bool ProbeRun::Installer(Problems& problems) {
    if (installer_ && IsWindow(installer_->window))
        return true;
    installer_ = std::make_unique<InstallerProcess>();
    installer_->probeLibrary = setup_.probeLibrary;
    const std::wstring setupExe = std::wstring(kProbeRoot) + L"\\" + kSetupName;
    if (StartInstaller(setupExe, *installer_))
        return true;
    problems.push_back("no installer window from " + Narrow(setupExe) + " within 15 s");
    return false;
}

Problems ProbeRun::Workflow(int button, const std::vector<int>& answers,
                            const std::vector<ExpectedBox>& boxes,
                            const std::vector<ExpectedCall>& calls) {
    return WorkflowProblems(*installer_, button, answers, setup_.boxTimeoutMs, boxes, calls);
}

Problems ProbeRun::Workflow(int button, const std::vector<int>& answers,
                            const std::vector<ExpectedBox>& boxes) {
    std::vector<ExpectedCall> calls;
    calls.reserve(boxes.size());
    for (const ExpectedBox& box : boxes)
        calls.push_back(BoxCall(box));
    return Workflow(button, answers, boxes, calls);
}

Problems ProbeRun::CleanUp(const char* after) {
    const std::wstring root = kInstallRootPath;
    RemoveTree(root);
    DeleteFileW(ShortcutPath().c_str());
    if (PathExists(root))
        return {"the check could not remove " + Narrow(root) + " after " + after};
    return {};
}

void ProbeRun::InstalledAsUsual(const char* after, Problems& problems) {
    for (std::string& problem :
         CompareTrees(medium_, ReadTree(kInstallRootPath), Narrow(kInstallRootPath), {}))
        problems.push_back(std::move(problem));
    if (!PathExists(ShortcutPath()))
        problems.push_back("no shortcut " + Narrow(ShortcutPath()) + " after " + after);
    for (std::string& problem : CleanUp(after))
        problems.push_back(std::move(problem));
}

Problems ProbeRun::WriteMedium() {
    const std::wstring root = kProbeRoot;
    if (PathExists(root))
        return {Narrow(root) +
                " already exists (left by an earlier check?); the probe does not "
                "write over it: remove it, or use a fresh machine"};
    if (!CreateDirectoryW(root.c_str(), nullptr))
        return {"cannot make " + Narrow(root)};
    madeRoot_ = true;
    Problems problems;
    const std::string standIn = ResourceBytes(2);
    const std::string setupBytes = ReadBytes(setup_.drive + L"\\" + kSetupName);
    if (standIn.empty())
        problems.push_back("ovik-check.exe carries no stand-in program");
    if (setupBytes.empty())
        problems.push_back("cannot read " + Narrow(setup_.drive) + "\\" + Narrow(kSetupName));
    std::vector<MediumFile> files = ProbeFiles();
    files.push_back({kSetupName, setupBytes, 0});
    files.push_back({kStandInClientName, standIn, 0});
    for (const wchar_t* tool : kPlantedTools)
        files.push_back({std::wstring(L"Installer\\") + tool, standIn, 0});
    if (hasLibrary_)
        files.push_back({kLibraryName, ReadBytes(setup_.drive + L"\\" + kLibraryName), 0});
    if (!MakeFolders(root, kEmptyFolder) || !MakeFolders(root, DeepFolder()) ||
        !MakeFolders(root, L"Installer") || !MakeFolders(root, L"ovikClient"))
        problems.push_back("cannot make the probe medium's folders in " + Narrow(root));
    if (!hasLibrary_)
        RemoveDirectoryW((root + L"\\ovikClient").c_str());
    for (const MediumFile& file : files) {
        const std::wstring path = root + L"\\" + file.name;
        if (!WriteBytes(path, file.bytes) ||
            (file.attributes && !SetFileAttributesW(path.c_str(), file.attributes)))
            problems.push_back("cannot write " + Narrow(path));
        else if ((GetFileAttributesW(path.c_str()) & kKeptAttributes) != file.attributes)
            problems.push_back(Narrow(path) + " does not keep the attribute " +
                               AttributeNames(file.attributes) + " on this machine");
    }

    // The planted tools must be seen when they run: one run of one of them
    // leaves its marker.
    const std::wstring markers = MarkerFolder();
    if (markers.empty()) {
        problems.push_back("no public profile folder for the planted tools' markers");
        return problems;
    }
    for (const wchar_t* tool : kPlantedTools)
        DeleteFileW((markers + L"\\" + tool + L".txt").c_str());
    const std::wstring planted = root + L"\\Installer\\taskkill.exe";
    const std::wstring marker = markers + L"\\taskkill.exe.txt";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    std::wstring commandLine = L"\"" + planted + L"\" self-test";
    if (CreateProcessW(planted.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       root.c_str(), &startup, &started)) {
        WaitForSingleObject(started.hProcess, 10000);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
    if (!PathExists(marker))
        problems.push_back("the planted stand-in " + Narrow(planted) + " left no marker in " +
                           Narrow(markers) + " when the check ran it");
    DeleteFileW(marker.c_str());
    return problems;
}

Problems ProbeRun::Install() {
    Problems problems;
    if (!Installer(problems))
        return problems;
    if (!hasLibrary_)
        return Workflow(expected::kInstallButtonId, {IDOK}, {kInstalledBox});
    return Workflow(
        expected::kInstallButtonId, {IDYES, IDOK}, {kRegisterBox, kInstalledBox},
        {BoxCall(kRegisterBox), LaunchCall(expected::kRegisterLaunch), BoxCall(kInstalledBox)});
}

Problems ProbeRun::InstalledTree() {
    const Tree installed = ReadTree(kInstallRootPath);
    std::vector<std::wstring> extra;
    if (hasLibrary_)
        extra.push_back(kRegisterScriptName);
    Problems problems = CompareTrees(medium_, installed, Narrow(kInstallRootPath), extra);
    if (hasLibrary_) {
        const auto script = installed.find(kRegisterScriptName);
        if (script == installed.end())
            problems.push_back(Narrow(kInstallRootPath) + "\\" + Narrow(kRegisterScriptName) +
                               " was not written");
        else if (script->second.bytes != expected::kRegisterScriptBytes)
            problems.push_back(Narrow(kInstallRootPath) + "\\" + Narrow(kRegisterScriptName) +
                               " holds \"" + Escaped(script->second.bytes) + "\", expected \"" +
                               Escaped(expected::kRegisterScriptBytes) + "\"");
    }
    return problems;
}

Problems ProbeRun::InstallFromInstallRoot() {
    // The installed copy of setup.exe, started from the install root: Install
    // asks to overwrite and, answered Yes, refuses to copy the install root
    // onto itself, with the copy-failed box; nothing else comes or changes.
    const std::wstring root = kInstallRootPath;
    const Tree before = ReadTree(root);
    InstallerProcess installed;
    installed.probeLibrary = setup_.probeLibrary;
    const std::wstring setupExe = root + L"\\" + kSetupName;
    if (!StartInstaller(setupExe, installed))
        return {"no installer window from " + Narrow(setupExe) + " within 15 s"};
    Problems problems = WorkflowProblems(installed, expected::kInstallButtonId, {IDYES, IDOK},
                                         setup_.boxTimeoutMs, {kOverwriteBox, kCopyFailedBox},
                                         {BoxCall(kOverwriteBox), BoxCall(kCopyFailedBox)});
    for (std::string& problem : CompareTrees(before, ReadTree(root), Narrow(root), {}))
        problems.push_back(std::move(problem));
    ClickButton(GetDlgItem(installed.window, expected::kCancelButtonId));
    DWORD exitCode = 0;
    if (!WaitForExit(installed.process, 10000, exitCode))
        problems.push_back(Narrow(setupExe) + " did not end within 10 s of Cancel");
    return problems;
}

Problems ProbeRun::OverwriteNo() {
    // Changes that a second install answered No must leave as they are.
    const std::wstring root = kInstallRootPath;
    Problems problems;
    if (!WriteBytes(root + L"\\" + kPlainFile, "changed after the install\r\n") ||
        !WriteBytes(root + L"\\" + kExtraFile, "only in the install root\r\n"))
        return {"cannot change " + Narrow(root) + "\\" + Narrow(kPlainFile) + " or write " +
                Narrow(kExtraFile) + " there"};
    if (!Installer(problems))
        return problems;
    const Tree before = ReadTree(root);
    problems = Workflow(expected::kInstallButtonId, {IDNO}, {kOverwriteBox});
    const Tree after = ReadTree(root);
    for (const auto& [name, entry] : before) {
        const auto found = after.find(name);
        if (found == after.end())
            problems.push_back(Narrow(name) + " went from " + Narrow(root) + " after No");
        else if (found->second.bytes != entry.bytes || found->second.attributes != entry.attributes)
            problems.push_back(Narrow(name) + " in " + Narrow(root) + " changed after No");
    }
    for (const auto& [name, entry] : after) {
        if (!before.count(name))
            problems.push_back(Narrow(name) + " appeared in " + Narrow(root) + " after No");
    }
    return problems;
}

Problems ProbeRun::OverwriteYes() {
    // The first install left the medium's read-only file read-only, and the
    // copy does not overwrite a read-only file: the install says the copy
    // failed, after copying everything else, and goes no further.
    Problems problems;
    if (!Installer(problems))
        return problems;
    problems = Workflow(expected::kInstallButtonId, {IDYES, IDOK}, {kOverwriteBox, kCopyFailedBox});
    std::vector<std::wstring> extra = {kExtraFile};
    if (hasLibrary_)
        extra.push_back(kRegisterScriptName);
    const Tree installed = ReadTree(kInstallRootPath);
    for (std::string& problem : CompareTrees(medium_, installed, Narrow(kInstallRootPath), extra))
        problems.push_back(std::move(problem));
    if (!installed.count(kExtraFile))
        problems.push_back(Narrow(kExtraFile) + ", only in " + Narrow(kInstallRootPath) +
                           ", went with the second install");
    return problems;
}

Problems ProbeRun::UninstallRunningClient() {
    Problems problems;
    if (!Installer(problems))
        return problems;
    const std::wstring root = kInstallRootPath;
    const std::wstring client = root + L"\\" + kStandInClientName;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    std::wstring commandLine = L"\"" + client + L"\"";
    // A program written a moment ago may be held by a virus scanner for a
    // while (Wine, too, has once refused one just copied): a few tries.
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (attempt > 0)
            Sleep(300);
        if (CreateProcessW(client.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           root.c_str(), &startup, &started)) {
            error = ERROR_SUCCESS;
            break;
        }
        error = GetLastError();
    }
    if (error != ERROR_SUCCESS)
        return {"cannot start " + Narrow(client) + " (error " + std::to_string(error) +
                ", 10 tries in 3 s)"};
    CloseHandle(started.hThread);
    const UniqueHandle process(started.hProcess);
    if (WaitForSingleObject(process.get(), 500) != WAIT_TIMEOUT)
        return {Narrow(client) + " did not stay running"};

    problems =
        Workflow(expected::kUninstallButtonId, {IDOK}, {kUninstalledBox},
                 {LaunchCall(expected::kUnregisterLaunch), LaunchCall(expected::kTaskKillLaunch),
                  PauseCall(expected::kPauseBeforeRemovalMs), BoxCall(kUninstalledBox)});
    if (WaitForSingleObject(process.get(), 5000) != WAIT_OBJECT_0) {
        problems.push_back(Narrow(client) + " still runs after the uninstall");
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
    }
    if (PathExists(root)) {
        const std::vector<std::wstring> left = ListTree(root);
        problems.push_back(Narrow(root) + " is still there, holding " +
                           std::to_string(left.size()) +
                           (left.size() == 1 ? " entry" : " entries") +
                           (left.empty() ? "" : ", " + Narrow(left.front()) + " among them"));
    }
    if (PathExists(ShortcutPath()))
        problems.push_back(Narrow(ShortcutPath()) + " is still there");
    return problems;
}

Problems ProbeRun::CopyFails() {
    // A file held open without sharing cannot be opened for reading by
    // anybody else: the copy meets a file it cannot read.
    const std::wstring locked = std::wstring(kProbeRoot) + L"\\" + kLockedFile;
    UniqueHandle held = MakeUniqueHandle(
        CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!held)
        return {"cannot hold " + Narrow(locked) + " open"};
    if (!ReadBytes(locked).empty())
        return {Narrow(locked) + " can still be read while the check holds it open unshared"};
    Problems problems;
    if (!Installer(problems))
        return problems;
    problems = Workflow(expected::kInstallButtonId, {IDOK}, {kCopyFailedBox});
    held.reset();

    // Everything else is copied; nothing after the copy is done.
    Tree expected = medium_;
    expected.erase(kLockedFile);
    const std::wstring root = kInstallRootPath;
    for (std::string& problem : CompareTrees(expected, ReadTree(root), Narrow(root), {}))
        problems.push_back(std::move(problem));
    if (PathExists(ShortcutPath()))
        problems.push_back(Narrow(ShortcutPath()) + " was made although the copy failed");
    RemoveTree(root);
    if (PathExists(root))
        problems.push_back("the check could not remove " + Narrow(root) + " after this install");
    return problems;
}

Problems ProbeRun::UninstallAgain() {
    // After an uninstall, a second one finds nothing: it says so and
    // launches nothing.
    Problems problems;
    if (!Installer(problems))
        return problems;
    problems = Workflow(expected::kUninstallButtonId, {IDOK}, {kMissingBox});
    if (PathExists(kInstallRootPath))
        problems.push_back(Narrow(kInstallRootPath) + " appeared");
    return problems;
}

Problems ProbeRun::RegisterNo() {
    // Registration declined: no script is written and nothing launched, and
    // the shortcut and the completion box still follow.
    Problems problems;
    if (!Installer(problems))
        return problems;
    problems = Workflow(expected::kInstallButtonId, {IDNO, IDOK}, {kRegisterBox, kInstalledBox});
    InstalledAsUsual("the install that declined registration", problems);
    return problems;
}

Problems ProbeRun::NoLibrary() {
    // A medium without the library: no question, no launch; the tree, the
    // shortcut and the completion box as usual.
    const std::wstring library = std::wstring(kProbeRoot) + L"\\" + kLibraryName;
    SetFileAttributesW(library.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(library.c_str());
    if (PathExists(library))
        return {"cannot remove " + Narrow(library) + " from the probe medium"};
    medium_.erase(kLibraryName);
    Problems problems;
    if (!Installer(problems))
        return problems;
    problems = Workflow(expected::kInstallButtonId, {IDOK}, {kInstalledBox});
    InstalledAsUsual("the install without the library", problems);
    return problems;
}

Problems ProbeRun::PlainFileRoot() {
    // A plain file where the install root belongs: Install asks to overwrite
    // (No: nothing; Yes: the copy fails), Uninstall cannot write its script;
    // nothing is launched and the file stays as it was.
    const std::wstring root = kInstallRootPath;
    const std::string bytes = "a plain file, not the install root\r\n";
    if (!WriteBytes(root, bytes))
        return {"cannot write a plain file " + Narrow(root)};
    Problems problems;
    if (!Installer(problems))
        return problems;
    const auto add = [&problems](const std::string& path, const Problems& more) {
        for (const std::string& problem : more)
            problems.push_back(path + ": " + problem);
    };
    add("Install, No", Workflow(expected::kInstallButtonId, {IDNO}, {kOverwriteBox}));
    add("Install, Yes",
        Workflow(expected::kInstallButtonId, {IDYES, IDOK}, {kOverwriteBox, kCopyFailedBox}));
    add("Uninstall", Workflow(expected::kUninstallButtonId, {IDOK}, {kScriptFailedBox}));
    if (IsFolder(root) || ReadBytes(root) != bytes)
        problems.push_back("the plain file " + Narrow(root) + " changed");
    if (PathExists(ShortcutPath()))
        problems.push_back(Narrow(ShortcutPath()) + " was made");
    SetFileAttributesW(root.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(root.c_str());
    if (PathExists(root))
        problems.push_back("the check could not remove the plain file " + Narrow(root));
    return problems;
}

Problems ProbeRun::OpenInstallRoot() {
    // An install root made beforehand that every signed-in account may
    // change (by hand, by an older installer, or squatted by another account
    // to catch a later install): Install (Yes) secures it before anything is
    // copied into it and goes on as usual, and permissions then passes. Wine
    // keeps no access list on files and shows of the others only Everyone
    // (in the mode bits), so there Everyone gets the same rights.
    const std::wstring root = kInstallRootPath;
    std::wstring sddl = L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)";
    if (IsRunningUnderWine())
        sddl += L"(A;OICI;0x1301bf;;;WD)";
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &made,
                                                              nullptr))
        return {"cannot make the descriptor " + Narrow(sddl)};
    const UniqueLocalMemory madeOwner(made);
    SECURITY_ATTRIBUTES security = {sizeof security, made, FALSE};
    // Wine takes its umask off a new folder's mode bits; the DACL set again
    // reaches them.
    if (!CreateDirectoryW(root.c_str(), &security) ||
        !SetFileSecurityW(root.c_str(), DACL_SECURITY_INFORMATION, made))
        return {"cannot make " + Narrow(root) + " open to Authenticated Users"};
    PSECURITY_DESCRIPTOR read = nullptr;
    const DWORD status = GetNamedSecurityInfoW(
        root.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        nullptr, nullptr, nullptr, nullptr, &read);
    const UniqueLocalMemory readOwner(read);
    if (status != ERROR_SUCCESS || OnlyOwnersMayChange(read, GetCurrentUserSid())) {
        RemoveDirectoryW(root.c_str());
        return {Narrow(root) + ", made open to Authenticated Users, does not read back so here"};
    }

    Problems problems;
    if (!Installer(problems))
        return problems;
    std::vector<ProbedEvent> record;
    const bool withLibrary = medium_.count(kLibraryName) != 0;
    const std::vector<int> answers =
        withLibrary ? std::vector<int>{IDYES, IDNO, IDOK} : std::vector<int>{IDYES, IDOK};
    const std::vector<ExpectedBox> boxes =
        withLibrary ? std::vector<ExpectedBox>{kOverwriteBox, kRegisterBox, kInstalledBox}
                    : std::vector<ExpectedBox>{kOverwriteBox, kInstalledBox};
    std::vector<ExpectedCall> calls;
    calls.reserve(boxes.size());
    for (const ExpectedBox& box : boxes)
        calls.push_back(BoxCall(box));
    problems = WorkflowProblems(*installer_, expected::kInstallButtonId, answers,
                                setup_.boxTimeoutMs, boxes, calls, {}, &record);
    const CheckResult permissions = PermissionsResult(withLibrary, record);
    if (permissions.outcome != CheckResult::Outcome::kPassed)
        problems.push_back("permissions after the install: " + permissions.why);
    InstalledAsUsual("the install over an open install root", problems);
    return problems;
}

Problems ProbeRun::ScriptsFolder() {
    // setup.exe in a folder of another name than Installer: the install root
    // holds no Installer folder after the copy, and the install makes it for
    // its script. With that folder then removed by hand, the uninstall makes
    // it again for its own script and removes everything as usual.
    EndInstaller();
    const std::wstring usual = std::wstring(kProbeRoot) + L"\\Installer";
    const std::wstring other = std::wstring(kProbeRoot) + L"\\Setup";
    if (!MoveFileW(usual.c_str(), other.c_str()))
        return {"cannot rename " + Narrow(usual) + " to " + Narrow(other)};
    const std::wstring root = kInstallRootPath;
    const std::wstring scripts = root + L"\\Installer";
    Problems problems;
    InstallerProcess installer;
    installer.probeLibrary = setup_.probeLibrary;
    if (!StartInstaller(other + L"\\setup.exe", installer)) {
        problems.push_back("no installer window from " + Narrow(other) + "\\setup.exe within 15 s");
    } else {
        const auto add = [&problems](const std::string& path, const Problems& more) {
            for (const std::string& problem : more)
                problems.push_back(path + ": " + problem);
        };
        add("Install",
            WorkflowProblems(installer, expected::kInstallButtonId, {IDYES, IDOK},
                             setup_.boxTimeoutMs, {kRegisterBox, kInstalledBox},
                             {BoxCall(kRegisterBox), LaunchCall(expected::kRegisterLaunch),
                              BoxCall(kInstalledBox)}));
        const std::string script = ReadBytes(root + L"\\" + kRegisterScriptName);
        if (script != expected::kRegisterScriptBytes)
            problems.push_back("Install: " + Narrow(root) + "\\" + Narrow(kRegisterScriptName) +
                               " holds \"" + Escaped(script) + "\", expected \"" +
                               Escaped(expected::kRegisterScriptBytes) + "\"");
        RemoveTree(scripts);
        if (PathExists(scripts))
            problems.push_back("the check could not remove " + Narrow(scripts));
        add("Uninstall",
            WorkflowProblems(
                installer, expected::kUninstallButtonId, {IDOK}, setup_.boxTimeoutMs,
                {kUninstalledBox},
                {LaunchCall(expected::kUnregisterLaunch), LaunchCall(expected::kTaskKillLaunch),
                 PauseCall(expected::kPauseBeforeRemovalMs), BoxCall(kUninstalledBox)}));
        if (PathExists(root))
            problems.push_back("Uninstall: " + Narrow(root) + " is still there");
        ClickButton(GetDlgItem(installer.window, expected::kCancelButtonId));
        DWORD exitCode = 0;
        WaitForExit(installer.process, 10000, exitCode);
    }
    for (std::string& problem : CleanUp("the install from Setup\\setup.exe"))
        problems.push_back(std::move(problem));
    if (!MoveFileW(other.c_str(), usual.c_str()))
        problems.push_back("cannot rename " + Narrow(other) + " back to " + Narrow(usual));
    return problems;
}

Problems ProbeRun::ClosesFromFrame() {
    // Closed from its frame (the close box), the installer ends with 0.
    Problems problems;
    if (!Installer(problems))
        return problems;
    PostMessageW(installer_->window, WM_SYSCOMMAND, SC_CLOSE, 0);
    DWORD exitCode = 0;
    if (!WaitForExit(installer_->process, 10000, exitCode))
        return {"the installer did not end within 10 s of its close box"};
    if (exitCode != 0)
        return {"the installer ended with exit code " + std::to_string(exitCode) + ", expected 0"};
    return {};
}

Problems ProbeRun::PlantedTools() {
    Problems problems;
    const std::wstring markers = MarkerFolder();
    for (const wchar_t* tool : kPlantedTools) {
        const std::wstring marker = markers + L"\\" + tool + L".txt";
        if (PathExists(marker))
            problems.push_back(Narrow(tool) +
                               " planted beside setup.exe ran, as: " + Escaped(ReadBytes(marker)));
        DeleteFileW(marker.c_str());
    }
    RemoveDirectoryW(markers.c_str());
    return problems;
}

std::vector<CheckResult> ProbeRun::Go(const std::vector<CheckResult>& before) {
    const std::wstring root = kInstallRootPath;
    const auto failed = std::find_if(before.begin(), before.end(), [](const CheckResult& result) {
        return result.outcome == CheckResult::Outcome::kFailed;
    });
    if (failed != before.end())
        run_.SetEarlierFailure(failed->name);
    if (setup_.drive.empty()) {
        run_.SkipRest(failed != before.end() ? failed->name : "medium-drive");
        return run_.Ordered();
    }
    if (PathExists(root)) {
        run_.SkipRest(std::string(),
                      "not run: " + Narrow(root) + " is still there after the release's uninstall");
        return run_.Ordered();
    }
    hasLibrary_ = PathExists(setup_.drive + L"\\" + kLibraryName);
    if (!Check("probe-medium", [this] { return WriteMedium(); })) {
        run_.SkipRest("probe-medium");
        if (madeRoot_)
            RemoveTree(kProbeRoot);
        return run_.Ordered();
    }
    medium_ = ReadTree(kProbeRoot);

    Check("probe-window", [this] {
        Problems problems;
        return Installer(problems) ? AllWindowProblems(*installer_) : problems;
    });
    const bool installed = Check("probe-install", [this] { return Install(); });
    if (IsFolder(root)) {
        Check("probe-installed-tree", [this] { return InstalledTree(); });
        Check("probe-install-from-install-root", [this] { return InstallFromInstallRoot(); });
        Check("probe-overwrite-no", [this] { return OverwriteNo(); });
        Check("probe-overwrite-yes", [this] { return OverwriteYes(); });
        Check("probe-uninstall-running-client", [this] { return UninstallRunningClient(); });
        if (!PathExists(root))
            Check("probe-uninstall-again", [this] { return UninstallAgain(); });
    }
    if (!PathExists(root))
        Check("probe-copy-fails", [this] { return CopyFails(); });
    for (const auto& [name, check] :
         {std::pair{"probe-register-no", &ProbeRun::RegisterNo},
          std::pair{"probe-scripts-folder", &ProbeRun::ScriptsFolder}}) {
        if (PathExists(root))
            continue;
        if (hasLibrary_)
            Check(name, [this, check = check] { return (this->*check)(); });
        else
            run_.Skip(name, "the medium holds no " + Narrow(kLibraryName));
    }
    if (!PathExists(root))
        Check("probe-no-library", [this] { return NoLibrary(); });
    if (!PathExists(root))
        Check("probe-plain-file-root", [this] { return PlainFileRoot(); });
    if (!PathExists(root))
        Check("probe-open-install-root", [this] { return OpenInstallRoot(); });
    Check("probe-planted-tools", [this] { return PlantedTools(); });
    Check("probe-closes-from-frame", [this] { return ClosesFromFrame(); });
    // What is left was kept from running by a failure before it.
    if (PathExists(root))
        run_.SkipRest("probe-uninstall-running-client");
    else if (installed)
        run_.SkipRest(std::string(), "not run: " + Narrow(root) + " was not made");
    else
        run_.SkipRest("probe-install");

    EndInstaller();
    RemoveTree(kProbeRoot);
    return run_.Ordered();
}

}  // namespace

std::vector<CheckResult> RunProbeChecks(const CheckSetup& setup,
                                        const std::vector<CheckResult>& before) {
    ProbeRun run(setup);
    return run.Go(before);
}
