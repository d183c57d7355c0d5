#include "checkkit/probe_medium.h"

#include "checkkit/driver/files.h"
#include "checkkit/driver/installer_boxes.h"
#include "checkkit/driver/installer_driver.h"
#include "checkkit/expected.h"
#include "checkkit/probe_standin.h"
#include "shellops/handles.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

namespace {

using Problems = std::vector<std::string>;

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
const char* const kProbeChecks[] = {"probe-medium",         "probe-install",
                                    "probe-installed-tree", "probe-overwrite-no",
                                    "probe-overwrite-yes",  "probe-uninstall-running-client",
                                    "probe-copy-fails",     "probe-planted-tools"};

constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

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

std::string AttributeNames(DWORD attributes) {
    std::string names;
    const std::pair<DWORD, const char*> known[] = {{FILE_ATTRIBUTE_READONLY, "read-only"},
                                                   {FILE_ATTRIBUTE_HIDDEN, "hidden"},
                                                   {FILE_ATTRIBUTE_SYSTEM, "system"}};
    for (const auto& [bit, name] : known) {
        if (attributes & bit)
            names += (names.empty() ? "" : ", ") + std::string(name);
    }
    return names.empty() ? "none" : names;
}

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

// A tree as read back: each entry's kept attributes and, for files, bytes.
struct Entry {
    DWORD attributes = 0;
    bool folder = false;
    std::string bytes;
};
using Tree = std::map<std::wstring, Entry>;

Tree ReadTree(const std::wstring& root) {
    Tree tree;
    for (const std::wstring& name : ListTree(root)) {
        const std::wstring path = root + L"\\" + name;
        Entry entry;
        entry.folder = name.back() == L'\\';
        entry.attributes = GetFileAttributesW(path.c_str()) & kKeptAttributes;
        if (!entry.folder)
            entry.bytes = ReadBytes(path);
        tree[name] = entry;
    }
    return tree;
}

// `actual` against `expected`: names missing and extra (but for `allowedExtra`),
// bytes, and each file's read-only, hidden and system attributes.
Problems CompareTrees(const Tree& expected, const Tree& actual, const std::string& where,
                      const std::vector<std::wstring>& allowedExtra) {
    Problems problems;
    for (const auto& [name, want] : expected) {
        const auto found = actual.find(name);
        if (found == actual.end()) {
            problems.push_back(Narrow(name) + " is missing from " + where);
            continue;
        }
        if (want.folder)
            continue;
        if (found->second.bytes != want.bytes)
            problems.push_back(Narrow(name) + " in " + where + " differs from the probe medium");
        const DWORD gained = found->second.attributes & ~want.attributes;
        const DWORD lost = want.attributes & ~found->second.attributes;
        if (gained)
            problems.push_back(Narrow(name) + " gained the attribute " + AttributeNames(gained) +
                               " in " + where +
                               " (on the probe medium: " + AttributeNames(want.attributes) + ")");
        if (lost)
            problems.push_back(Narrow(name) + " lost the attribute " + AttributeNames(lost) +
                               " in " + where +
                               " (on the probe medium: " + AttributeNames(want.attributes) + ")");
    }
    for (const auto& [name, entry] : actual) {
        if (!expected.count(name) &&
            std::find(allowedExtra.begin(), allowedExtra.end(), name) == allowedExtra.end())
            problems.push_back(Narrow(name) + " is in " + where + " but not on the probe medium");
    }
    return problems;
}

// ---- Boxes -------------------------------------------------------------------

// Bytes as they are, but CR and LF shown as \\r and \\n.
std::string Escaped(const std::string& bytes) {
    std::string shown;
    for (const char c : bytes) {
        if (c == '\r')
            shown += "\\r";
        else if (c == '\n')
            shown += "\\n";
        else
            shown += c;
    }
    return shown;
}

std::string OneLine(const std::wstring& text) {
    return ::OneLine(Narrow(text));
}

std::string IconName(UINT icon) {
    switch (icon) {
        case MB_ICONQUESTION:
            return "question";
        case MB_ICONERROR:
            return "error";
        case MB_ICONWARNING:
            return "warning";
        case MB_ICONINFORMATION:
            return "information";
        default:
            return "no known";
    }
}

std::string Describe(const ExpectedBox& box) {
    return "[" + OneLine(box.caption) + "] " + OneLine(box.text) + " (" +
           (box.yesNo ? "Yes and No" : "OK") + ", " + IconName(box.icon) + " icon)";
}

std::string Describe(const ShownBox& shown) {
    std::string buttons;
    const std::pair<bool, const char*> known[] = {{shown.box.hasYes, "Yes"},
                                                  {shown.box.hasNo, "No"},
                                                  {shown.box.hasOk, "OK"},
                                                  {shown.box.hasCancel, "Cancel"}};
    for (const auto& [has, name] : known) {
        if (has)
            buttons += (buttons.empty() ? "" : " and ") + std::string(name);
    }
    return "[" + OneLine(shown.box.caption) + "] " + OneLine(shown.box.text) + " (" +
           (buttons.empty() ? "no buttons" : buttons) + ", " + IconName(shown.icon) + " icon)";
}

Problems CompareBoxes(const std::vector<ShownBox>& shown, const std::vector<ExpectedBox>& expected,
                      HWND owner) {
    Problems problems;
    for (size_t i = 0; i < std::max(shown.size(), expected.size()); ++i) {
        const std::string which = "box " + std::to_string(i + 1);
        if (i >= shown.size()) {
            problems.push_back(which + " did not come: expected " + Describe(expected[i]));
            continue;
        }
        if (i >= expected.size()) {
            problems.push_back(which + " was not expected: found " + Describe(shown[i]));
            continue;
        }
        const ExpectedBox& want = expected[i];
        const SeenBox& box = shown[i].box;
        const bool yesNo = box.hasYes && box.hasNo && !box.hasOk && !box.hasCancel;
        const bool okOnly = box.hasOk && !box.hasYes && !box.hasNo && !box.hasCancel;
        if (box.caption != want.caption || box.text != want.text ||
            (want.yesNo ? !yesNo : !okOnly) || shown[i].icon != want.icon || box.owner != owner)
            problems.push_back(which + ": expected " + Describe(want) + ", found " +
                               Describe(shown[i]) +
                               (box.owner != owner ? ", not owned by the installer window" : ""));
    }
    return problems;
}

// ---- The run -----------------------------------------------------------------

class ProbeRun {
public:
    explicit ProbeRun(const CheckSetup& setup) : setup_(setup) {}
    std::vector<CheckResult> Go(const std::vector<CheckResult>& before);

private:
    bool Check(const char* name, const std::function<Problems()>& check);
    // Skips every probe check not yet run, saying why.
    // `blocker` names the check whose failure kept them from running; when
    // empty, `why` says what did.
    void SkipRest(const std::string& blocker, const std::string& why = std::string());
    bool Installer(Problems& problems);
    std::vector<ShownBox> Workflow(int button, const std::vector<int>& answers);

    Problems WriteMedium();
    Problems Install();
    Problems InstalledTree();
    Problems OverwriteNo();
    Problems OverwriteYes();
    Problems UninstallRunningClient();
    Problems CopyFails();
    Problems PlantedTools();

    const CheckSetup& setup_;
    std::vector<CheckResult> results_;
    std::unique_ptr<InstallerProcess> installer_;
    bool hasLibrary_ = false;
    bool madeRoot_ = false;  // the probe medium is the kit's to remove
    Tree medium_;
};

bool ProbeRun::Check(const char* name, const std::function<Problems()>& check) {
    const ULONGLONG start = NowMs();
    const Problems problems = check();
    CheckResult result = ResultOf(name, problems, static_cast<double>(NowMs() - start) / 1000.0);
    Say(SummaryLine(result));
    results_.push_back(result);
    return problems.empty();
}

void ProbeRun::SkipRest(const std::string& blocker, const std::string& why) {
    for (const char* name : kProbeChecks) {
        const bool done =
            std::any_of(results_.begin(), results_.end(),
                        [name](const CheckResult& result) { return result.name == name; });
        if (done)
            continue;
        CheckResult skipped;
        skipped.name = name;
        skipped.outcome = CheckResult::Outcome::kSkipped;
        skipped.blockedBy = blocker;
        skipped.why = blocker.empty() ? why : "not run: " + blocker + " failed";
        Say(SummaryLine(skipped));
        results_.push_back(skipped);
    }
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

std::vector<ShownBox> ProbeRun::Workflow(int button, const std::vector<int>& answers) {
    return RunWorkflow(*installer_, button, answers, setup_.boxTimeoutMs);
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
    std::vector<ExpectedBox> boxes = {kInstalledBox};
    std::vector<int> answers = {IDOK};
    if (hasLibrary_) {
        boxes.insert(boxes.begin(), kRegisterBox);
        answers.insert(answers.begin(), IDYES);
    }
    return CompareBoxes(Workflow(expected::kInstallButtonId, answers), boxes, installer_->window);
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
    problems = CompareBoxes(Workflow(expected::kInstallButtonId, {IDNO}), {kOverwriteBox},
                            installer_->window);
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
    problems = CompareBoxes(Workflow(expected::kInstallButtonId, {IDYES, IDOK}),
                            {kOverwriteBox, kCopyFailedBox}, installer_->window);
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

    problems = CompareBoxes(Workflow(expected::kUninstallButtonId, {IDOK}), {kUninstalledBox},
                            installer_->window);
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
    problems = CompareBoxes(Workflow(expected::kInstallButtonId, {IDOK}), {kCopyFailedBox},
                            installer_->window);
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
    if (setup_.drive.empty()) {
        SkipRest(failed != before.end() ? failed->name : "medium-drive");
        return results_;
    }
    if (PathExists(root)) {
        SkipRest(std::string(),
                 "not run: " + Narrow(root) + " is still there after the release's uninstall");
        return results_;
    }
    hasLibrary_ = PathExists(setup_.drive + L"\\" + kLibraryName);
    if (!Check("probe-medium", [this] { return WriteMedium(); })) {
        SkipRest("probe-medium");
        if (madeRoot_)
            RemoveTree(kProbeRoot);
        return results_;
    }
    medium_ = ReadTree(kProbeRoot);

    const bool installed = Check("probe-install", [this] { return Install(); });
    if (IsFolder(root)) {
        Check("probe-installed-tree", [this] { return InstalledTree(); });
        Check("probe-overwrite-no", [this] { return OverwriteNo(); });
        Check("probe-overwrite-yes", [this] { return OverwriteYes(); });
        Check("probe-uninstall-running-client", [this] { return UninstallRunningClient(); });
    }
    if (!PathExists(root))
        Check("probe-copy-fails", [this] { return CopyFails(); });
    Check("probe-planted-tools", [this] { return PlantedTools(); });
    // What is left was kept from running by a failure before it.
    if (PathExists(root))
        SkipRest("probe-uninstall-running-client");
    else if (installed)
        SkipRest(std::string(), "not run: " + Narrow(root) + " was not made");
    else
        SkipRest("probe-install");

    if (installer_ && IsWindow(installer_->window)) {
        ClickButton(GetDlgItem(installer_->window, expected::kCancelButtonId));
        DWORD exitCode = 0;
        WaitForExit(installer_->process, 10000, exitCode);
    }
    installer_.reset();
    RemoveTree(kProbeRoot);

    // In the order of kProbeChecks.
    std::vector<CheckResult> ordered;
    for (const char* name : kProbeChecks) {
        for (const CheckResult& result : results_) {
            if (result.name == name)
                ordered.push_back(result);
        }
    }
    return ordered;
}

}  // namespace

std::vector<CheckResult> RunProbeChecks(const CheckSetup& setup,
                                        const std::vector<CheckResult>& before) {
    ProbeRun run(setup);
    return run.Go(before);
}
