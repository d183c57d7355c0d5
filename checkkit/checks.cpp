#include "checkkit/checks.h"

#include "checkkit/check_run.h"
#include "checkkit/driver/files.h"
#include "checkkit/driver/installer_boxes.h"
#include "checkkit/driver/installer_driver.h"
#include "checkkit/driver/shortcut_reader.h"
#include "checkkit/elevation_checks.h"
#include "checkkit/expected.h"
#include "checkkit/permission_checks.h"
#include "checkkit/screenshot.h"
#include "checkkit/signature.h"
#include "checkkit/text.h"
#include "checkkit/tree_checks.h"
#include "checkkit/window_checks.h"
#include "checkkit/workflow_checks.h"
#include "shellops/handles.h"

#include <shlobj.h>

#include <algorithm>
#include <functional>
#include <set>

namespace {

using namespace expected;

// Every check, in the order it runs; one that an earlier failure kept from
// running is skipped, naming that failure.
const char* const kCheckNames[] = {"medium-drive",
                                   "drive-matches-medium",
                                   "signature",
                                   "installer-window",
                                   "runs-as-invoker",
                                   "window-class",
                                   "window-frame",
                                   "window-texts",
                                   "window-controls",
                                   "window-font",
                                   "window-layout",
                                   "texts-fit",
                                   "install",
                                   "installed-tree",
                                   "permissions",
                                   "registration",
                                   "shortcut",
                                   "uninstall",
                                   "uninstall-removes-tree",
                                   "uninstall-removes-shortcut",
                                   "uninstall-removes-registration",
                                   "installer-closes",
                                   "screenshots"};

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

std::wstring DesktopFolder() {
    PWSTR known = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, &known);
    std::wstring folder = SUCCEEDED(hr) && known ? known : L"";
    CoTaskMemFree(known);
    return folder;
}

// ---- Registry snapshots ------------------------------------------------------

struct RegistryRoot {
    HKEY key;
    const wchar_t* path;
    const wchar_t* shown;
    bool deep;  // every key below, or only the first level
};

// A library's registration adds keys to these. Class keys (with their
// InprocServer32) land below CLSID, 32-bit libraries' below WOW6432Node;
// program ids and type names at the first level of the classes.
const RegistryRoot kRegistryRoots[] = {
    {HKEY_CLASSES_ROOT, L"CLSID", L"HKCR\\CLSID", true},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\WOW6432Node\\CLSID",
     L"HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID", true},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes", L"HKLM\\SOFTWARE\\Classes", false},
};

struct RegKeyCloser {
    void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegKeyCloser>;

UniqueKey OpenKey(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return UniqueKey();
    return UniqueKey(key);
}

std::vector<std::wstring> SubkeyNames(HKEY key) {
    std::vector<std::wstring> names;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        const LONG status =
            RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_SUCCESS)
            names.emplace_back(name, length);
    }
    return names;
}

void CollectKeys(HKEY root, const std::wstring& path, const std::wstring& shown, bool deep,
                 std::set<std::wstring>& keys) {
    const UniqueKey key = OpenKey(root, path);
    if (!key)
        return;
    for (const std::wstring& name : SubkeyNames(key.get())) {
        keys.insert(shown + L"\\" + name);
        if (deep)
            CollectKeys(root, path + L"\\" + name, shown + L"\\" + name, true, keys);
    }
}

std::set<std::wstring> RegistrySnapshot() {
    std::set<std::wstring> keys;
    for (const RegistryRoot& root : kRegistryRoots)
        CollectKeys(root.key, root.path, root.shown, root.deep, keys);
    return keys;
}

// The key of a snapshot entry, opened again.
UniqueKey OpenShownKey(const std::wstring& shown) {
    for (const RegistryRoot& root : kRegistryRoots) {
        const std::wstring prefix = std::wstring(root.shown) + L"\\";
        if (shown.rfind(prefix, 0) == 0)
            return OpenKey(root.key, std::wstring(root.path) + L"\\" + shown.substr(prefix.size()));
    }
    return UniqueKey();
}

// The text values of `key` and every key below it: (key path, value name, text).
struct TextValue {
    std::wstring key;
    std::wstring name;
    std::wstring text;
};
void CollectTextValues(HKEY key, const std::wstring& shown, std::vector<TextValue>& values) {
    wchar_t name[16384];
    std::vector<BYTE> data(size_t{64} * 1024);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = 16384;
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size() - sizeof(wchar_t));
        const LONG status =
            RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &size);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
            continue;
        data[size] = 0;
        data[size + 1] = 0;
        values.push_back({shown, std::wstring(name, nameLength),
                          std::wstring(reinterpret_cast<const wchar_t*>(data.data()))});
    }
    for (const std::wstring& child : SubkeyNames(key)) {
        HKEY opened = nullptr;
        if (RegOpenKeyExW(key, child.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
            continue;
        const UniqueKey owner(opened);
        CollectTextValues(opened, shown + L"\\" + child, values);
    }
}

// A value that names a file: "X:\..." with or without quotes.
bool LooksLikePath(const std::wstring& text) {
    const size_t start = text.size() > 0 && text[0] == L'"' ? 1 : 0;
    return text.size() >= start + 3 && text[start + 1] == L':' && text[start + 2] == L'\\';
}

// ---- The run -----------------------------------------------------------------

class Run {
public:
    explicit Run(const CheckSetup& setup) : setup_(setup) {}

    std::vector<CheckResult> Go();

private:
    bool Check(const char* name, const std::function<Problems()>& check) {
        return run_.Check(name, check);
    }
    void Picture(HWND window, const std::wstring& name);

    Problems MediumDrive();
    Problems DriveMatchesMedium();
    Problems InstallerWindow();
    Problems Install();
    Problems InstalledTree();
    Problems Registration();
    Problems Shortcut();
    Problems Uninstall();
    Problems RemovesRegistration();
    Problems InstallerCloses();

    const CheckSetup& setup_;
    CheckRun run_{std::vector<const char*>(std::begin(kCheckNames), std::end(kCheckNames))};
    InstallerProcess installer_;
    std::vector<ProbedEvent> installRecord_;  // every call the install made, as recorded
    bool hasLibrary_ = false;
    bool hasIcon_ = false;
    std::set<std::wstring> keysBefore_;
    std::vector<std::wstring> keysAdded_;
    Problems pictureProblems_;
    bool windowShown_ = false;
    bool uninstallRan_ = false;
};

void Run::Picture(HWND window, const std::wstring& name) {
    const std::wstring path = setup_.results + L"\\" + name + L".bmp";
    if (!SaveWindowPicture(window, path))
        pictureProblems_.push_back("no picture " + Narrow(path));
}

Problems Run::MediumDrive() {
    if (setup_.drive.empty())
        return {setup_.driveProblem};
    const std::wstring root = setup_.drive + L"\\";
    if (GetDriveTypeW(root.c_str()) != DRIVE_CDROM)
        return {Narrow(setup_.drive) + " is not a CD-ROM drive (type " +
                std::to_string(GetDriveTypeW(root.c_str())) + ")"};
    if (!PathExists(setup_.drive + kSetupExe))
        return {Narrow(setup_.drive) + " holds no " + Narrow(kSetupExe).substr(1)};
    return {};
}

Problems Run::DriveMatchesMedium() {
    return CompareTrees(setup_.medium, setup_.drive, "drive " + Narrow(setup_.drive));
}

Problems Run::InstallerWindow() {
    installer_.probeLibrary = setup_.probeLibrary;
    const std::wstring setupExe = setup_.drive + kSetupExe;
    if (!StartInstaller(setupExe, installer_))
        return {"no installer window from " + Narrow(setupExe) + " within 15 s"};
    windowShown_ = true;
    Picture(installer_.window, L"window");
    return {};
}

Problems Run::Install() {
    std::vector<ExpectedBox> expected = {kInstalledBox};
    std::vector<int> answers = {IDOK};
    if (hasLibrary_) {
        expected.insert(expected.begin(), kRegisterBox);
        answers.insert(answers.begin(), IDYES);
    }
    std::vector<ExpectedCall> calls = {BoxCall(kInstalledBox)};
    if (hasLibrary_)
        calls.insert(calls.begin(), {BoxCall(kRegisterBox), LaunchCall(kRegisterLaunch)});
    return WorkflowProblems(
        installer_, kInstallButtonId, answers, setup_.boxTimeoutMs, expected, calls,
        [this](HWND box, size_t index) {
            Picture(box,
                    hasLibrary_ && index == 0 ? L"box-register-question" : L"box-install-complete");
        },
        &installRecord_);
}

Problems Run::InstalledTree() {
    if (!IsFolder(kInstallRoot))
        return {Narrow(kInstallRoot) + " is not there"};
    const std::wstring script = std::wstring(kInstallRoot) + kRegisterScript;
    Problems problems = CompareTrees(setup_.medium, kInstallRoot, Narrow(kInstallRoot),
                                     {std::wstring(kRegisterScript).substr(1)});
    if (hasLibrary_) {
        const std::string bytes = ReadBytes(script);
        if (bytes != kRegisterScriptBytes)
            problems.push_back(Narrow(script) + " holds \"" + OneLine(bytes) + "\", expected \"" +
                               OneLine(kRegisterScriptBytes) + "\"");
    }
    for (std::string& problem : ReadOnlyKept(setup_.drive, kInstallRoot))
        problems.push_back(std::move(problem));
    return problems;
}
Problems Run::Registration() {
    const std::set<std::wstring> after = RegistrySnapshot();
    std::set_difference(after.begin(), after.end(), keysBefore_.begin(), keysBefore_.end(),
                        std::back_inserter(keysAdded_));
    if (keysAdded_.empty())
        return {"the registration added no key below " + Narrow(kRegistryRoots[0].shown) + ", " +
                Narrow(kRegistryRoots[1].shown) + " or " + Narrow(kRegistryRoots[2].shown)};
    Problems problems;
    bool serverInside = false;
    const std::wstring inside = std::wstring(kInstallRoot) + L"\\";
    for (const std::wstring& added : keysAdded_) {
        const UniqueKey key = OpenShownKey(added);
        if (!key)
            continue;
        std::vector<TextValue> values;
        CollectTextValues(key.get(), added, values);
        for (const TextValue& value : values) {
            if (!LooksLikePath(value.text))
                continue;
            const std::wstring path = value.text[0] == L'"' ? value.text.substr(1) : value.text;
            const bool isInside = StartsWithNoCase(path, inside);
            const std::wstring leaf = value.key.substr(value.key.find_last_of(L'\\') + 1);
            if (isInside &&
                CompareStringOrdinal(leaf.c_str(), -1, L"InprocServer32", -1, TRUE) == CSTR_EQUAL)
                serverInside = true;
            if (!isInside)
                problems.push_back(Narrow(value.key) + " " +
                                   (value.name.empty() ? "(default)" : Narrow(value.name)) +
                                   " points outside " + Narrow(kInstallRoot) + ": " +
                                   Narrow(value.text));
        }
    }
    if (!serverInside)
        problems.insert(problems.begin(), "no added InprocServer32 names a file in " +
                                              Narrow(kInstallRoot) + " (" +
                                              std::to_string(keysAdded_.size()) + " keys added)");
    return problems;
}

Problems Run::Shortcut() {
    const std::wstring link = DesktopFolder() + kShortcutFile;
    const ShortcutFields fields = ReadShortcut(link);
    if (!fields.loaded)
        return {"no shortcut " + Narrow(link) + " that the shell can read"};
    Problems problems;
    const auto expect = [&problems](const char* what, const std::wstring& got,
                                    const std::wstring& want) {
        if (got != want)
            problems.push_back(std::string(what) + " is " + Quoted(got) + ", expected " +
                               Quoted(want));
    };
    const std::wstring root = kInstallRoot;
    expect("its target", fields.target, root + kClientExecutable);
    expect("its working folder", fields.workingFolder, root);
    expect("its icon", fields.iconPath, hasIcon_ ? root + kClientIcon : std::wstring());
    if (hasIcon_ && fields.iconIndex != kShortcutIconIndex)
        problems.push_back("its icon index is " + std::to_string(fields.iconIndex) + ", expected " +
                           std::to_string(kShortcutIconIndex));
    return problems;
}

Problems Run::Uninstall() {
    // After an install that went wrong a box may still be open: answer it as
    // a user would (No where it asks, else OK) so the uninstall can start.
    if (const HWND left = WaitForMessageBox(installer_.window, 0)) {
        const SeenBox box = ReadMessageBox(left);
        ClickButton(GetDlgItem(left, box.hasNo ? IDNO : IDOK));
        Sleep(500);
    }
    if (!IsWindow(installer_.window))
        return {"the installer window is gone, so Uninstall cannot be pressed"};
    uninstallRan_ = true;
    // Without an install root the uninstall says there is nothing to remove.
    const bool installed = IsFolder(kInstallRoot);
    const std::vector<ExpectedCall> calls =
        installed
            ? std::vector<ExpectedCall>{LaunchCall(kUnregisterLaunch), LaunchCall(kTaskKillLaunch),
                                        PauseCall(kPauseBeforeRemovalMs), BoxCall(kUninstalledBox)}
            : std::vector<ExpectedCall>{BoxCall(kMissingBox)};
    return WorkflowProblems(installer_, kUninstallButtonId, {IDOK}, setup_.boxTimeoutMs,
                            {installed ? kUninstalledBox : kMissingBox}, calls,
                            [this](HWND box, size_t) { Picture(box, L"box-uninstall-complete"); });
}

Problems Run::RemovesRegistration() {
    Problems problems;
    const std::set<std::wstring> after = RegistrySnapshot();
    for (const std::wstring& added : keysAdded_) {
        if (after.count(added))
            problems.push_back(Narrow(added) + " is still there");
    }
    return problems;
}

Problems Run::InstallerCloses() {
    ClickButton(GetDlgItem(installer_.window, kCancelButtonId));
    DWORD exitCode = 0;
    if (!WaitForExit(installer_.process, 10000, exitCode))
        return {"the installer did not end within 10 s of Cancel"};
    if (exitCode != 0)
        return {"the installer ended with exit code " + std::to_string(exitCode) + ", expected 0"};
    return {};
}

std::vector<CheckResult> Run::Go() {
    hasLibrary_ = PathExists(setup_.medium + kCaptureLibrary);
    hasIcon_ = PathExists(setup_.medium + kClientIcon);
    const std::string noLibrary = "the medium holds no " + Narrow(kCaptureLibrary).substr(1);
    // The failed check that kept the later ones from running.
    std::string blocker;
    const auto gate = [&blocker](const char* name, bool passed) {
        if (!passed && blocker.empty())
            blocker = name;
        return passed;
    };

    if (gate("medium-drive", Check("medium-drive", [this] { return MediumDrive(); }))) {
        Check("drive-matches-medium", [this] { return DriveMatchesMedium(); });
        const ULONGLONG start = NowMs();
        CheckResult signature = SignatureResult(setup_.drive + kSetupExe);
        signature.seconds = static_cast<double>(NowMs() - start) / 1000.0;
        run_.Record(signature);
        keysBefore_ = RegistrySnapshot();
        const bool started = Check("installer-window", [this] { return InstallerWindow(); });
        // A manifest that asks for elevation is named even when the
        // installer did not start because of it.
        const Problems manifest = ManifestProblems(setup_.drive + kSetupExe);
        if (started || !manifest.empty())
            Check("runs-as-invoker", [this, &manifest, started] {
                Problems problems = manifest;
                if (started) {
                    for (std::string& problem : InstallerTokenProblems(installer_))
                        problems.push_back(std::move(problem));
                }
                return problems;
            });
        if (gate("installer-window", started)) {
            Check("window-class", [this] { return WindowClassProblems(installer_); });
            Check("window-frame", [this] { return WindowFrameProblems(installer_); });
            Check("window-texts", [this] { return WindowTextProblems(installer_); });
            Check("window-controls", [this] { return ControlProblems(installer_); });
            Check("window-font", [this] { return WindowFontProblems(installer_); });
            Check("window-layout", [this] { return LayoutFitProblems(installer_); });
            Check("texts-fit", [this] { return TextFitProblems(installer_); });
            Check("install", [this] { return Install(); });
            Check("installed-tree", [this] { return InstalledTree(); });
            if (IsFolder(kInstallRoot)) {
                const ULONGLONG permissionsStart = NowMs();
                CheckResult permissions = PermissionsResult(hasLibrary_, installRecord_);
                permissions.seconds = static_cast<double>(NowMs() - permissionsStart) / 1000.0;
                run_.Record(permissions);
            }
            if (hasLibrary_)
                Check("registration", [this] { return Registration(); });
            else
                run_.Skip("registration", noLibrary);
            Check("shortcut", [this] { return Shortcut(); });
            // The uninstall runs whatever the install did, as a user would
            // try it; what it removes is checked when it could be started.
            Check("uninstall", [this] { return Uninstall(); });
            if (gate("uninstall", uninstallRan_)) {
                Check("uninstall-removes-tree", [] {
                    return PathExists(kInstallRoot)
                               ? Problems{Narrow(kInstallRoot) + " is still there"}
                               : Problems{};
                });
                Check("uninstall-removes-shortcut", [] {
                    const std::wstring link = DesktopFolder() + kShortcutFile;
                    return PathExists(link) ? Problems{Narrow(link) + " is still there"}
                                            : Problems{};
                });
                if (hasLibrary_)
                    Check("uninstall-removes-registration",
                          [this] { return RemovesRegistration(); });
                else
                    run_.Skip("uninstall-removes-registration", noLibrary);
                Check("installer-closes", [this] { return InstallerCloses(); });
            }
        }
    }
    if (windowShown_)
        Check("screenshots", [this] { return pictureProblems_; });

    // A check that an earlier failure kept from running is skipped, naming
    // that failure.
    run_.SkipRest(blocker.empty() ? "an earlier check" : blocker);
    return run_.Ordered();
}

}  // namespace

std::vector<CheckResult> RunChecks(const CheckSetup& setup) {
    Run run(setup);
    return run.Go();
}
