#include "checkkit/checks.h"

#include "checkkit/driver/files.h"
#include "checkkit/driver/installer_boxes.h"
#include "checkkit/driver/installer_driver.h"
#include "checkkit/driver/shortcut_reader.h"
#include "checkkit/screenshot.h"
#include "shellops/handles.h"
#include "shellops/shellops.h"

#include <algorithm>
#include <functional>
#include <set>

namespace {

using Problems = std::vector<std::string>;

// Every check, in the order it runs; one not reached fails as not run.
const char* const kCheckNames[] = {"medium-drive",
                                   "drive-matches-medium",
                                   "installer-window",
                                   "texts-fit",
                                   "install",
                                   "installed-tree",
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

bool IsReadOnly(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

// The trees below `mediumRoot` and `actualRoot` compared: names missing from
// the actual tree, names only there (but for `allowedExtra`), and each file
// of the medium whose bytes differ.
Problems CompareTrees(const std::wstring& mediumRoot, const std::wstring& actualRoot,
                      const std::string& actualName,
                      const std::vector<std::wstring>& allowedExtra = {}) {
    const std::vector<std::wstring> expected = ListTree(mediumRoot);
    const std::vector<std::wstring> actual = ListTree(actualRoot);
    Problems problems;
    std::vector<std::wstring> missing;
    std::vector<std::wstring> extra;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(),
                        std::back_inserter(missing));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(),
                        std::back_inserter(extra));
    for (const std::wstring& name : missing)
        problems.push_back(Narrow(name) + " is missing from " + actualName);
    for (const std::wstring& name : extra) {
        if (std::find(allowedExtra.begin(), allowedExtra.end(), name) == allowedExtra.end())
            problems.push_back(Narrow(name) + " is in " + actualName +
                               " but not in the medium folder");
    }
    for (const std::wstring& name : expected) {
        if (name.back() == L'\\' ||
            std::find(missing.begin(), missing.end(), name) != missing.end())
            continue;
        switch (CompareFiles(mediumRoot + L"\\" + name, actualRoot + L"\\" + name)) {
            case Comparison::kSame:
                break;
            case Comparison::kDiffer:
                problems.push_back(Narrow(name) + " differs between the medium folder and " +
                                   actualName);
                break;
            case Comparison::kFirstUnreadable:
                problems.push_back(Narrow(name) + " cannot be read in the medium folder");
                break;
            case Comparison::kSecondUnreadable:
                problems.push_back(Narrow(name) + " cannot be read in " + actualName);
                break;
        }
    }
    return problems;
}

Problems CompareBoxes(const std::vector<ShownBox>& shown, const std::vector<ExpectedBox>& expected,
                      HWND owner) {
    Problems problems;
    for (size_t i = 0; i < std::max(shown.size(), expected.size()); ++i) {
        const std::string which = "box " + std::to_string(i + 1);
        if (i >= shown.size()) {
            problems.push_back(which + " did not come: [" + Narrow(expected[i].caption) + "] " +
                               Narrow(expected[i].text));
            continue;
        }
        const SeenBox& box = shown[i].box;
        const std::string seen = "[" + Narrow(box.caption) + "] " + Narrow(box.text);
        if (i >= expected.size()) {
            problems.push_back(which + " was not expected: " + seen);
            continue;
        }
        const ExpectedBox& want = expected[i];
        if (box.text != want.text || box.caption != want.caption)
            problems.push_back(which + " says " + seen + " instead of [" + Narrow(want.caption) +
                               "] " + Narrow(want.text));
        const bool yesNo = box.hasYes && box.hasNo && !box.hasOk;
        const bool okOnly = box.hasOk && !box.hasYes && !box.hasNo;
        if ((want.yesNo ? !yesNo : !okOnly) || box.hasCancel)
            problems.push_back(which + " " + seen + " has the wrong buttons");
        if (shown[i].icon != want.icon)
            problems.push_back(which + " " + seen + " shows the wrong icon (MB_ICON value " +
                               std::to_string(shown[i].icon) + ")");
        if (box.owner != owner)
            problems.push_back(which + " " + seen + " is not owned by the installer window");
    }
    return problems;
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
    // Runs `check` as the next check called `name`; false when it failed.
    bool Check(const char* name, const std::function<Problems()>& check);
    void Skip(const char* name, const std::string& why);
    void Picture(HWND window, const std::wstring& name);

    Problems MediumDrive();
    Problems DriveMatchesMedium();
    Problems InstallerWindow();
    Problems TextsFit();
    Problems Install();
    Problems InstalledTree();
    Problems Registration();
    Problems Shortcut();
    Problems Uninstall();
    Problems RemovesRegistration();
    Problems InstallerCloses();

    const CheckSetup& setup_;
    std::vector<CheckResult> results_;
    InstallerProcess installer_;
    bool hasLibrary_ = false;
    bool hasIcon_ = false;
    std::set<std::wstring> keysBefore_;
    std::vector<std::wstring> keysAdded_;
    Problems pictureProblems_;
};

bool Run::Check(const char* name, const std::function<Problems()>& check) {
    const ULONGLONG start = NowMs();
    const Problems problems = check();
    CheckResult result;
    result.name = name;
    result.seconds = static_cast<double>(NowMs() - start) / 1000.0;
    if (!problems.empty()) {
        result.outcome = CheckResult::Outcome::kFailed;
        result.why = problems.front();
        if (problems.size() > 1)
            result.why += " (and " + std::to_string(problems.size() - 1) + " more)";
        result.details = problems;
    }
    Say(SummaryLine(result));
    results_.push_back(result);
    return problems.empty();
}

void Run::Skip(const char* name, const std::string& why) {
    CheckResult result;
    result.name = name;
    result.outcome = CheckResult::Outcome::kSkipped;
    result.why = why;
    Say(SummaryLine(result));
    results_.push_back(result);
}

void Run::Picture(HWND window, const std::wstring& name) {
    const std::wstring path = setup_.results + L"\\" + name + L".bmp";
    if (!SaveWindowPicture(window, path))
        pictureProblems_.push_back("no picture " + Narrow(path));
}

Problems Run::MediumDrive() {
    const std::wstring root = setup_.drive + L"\\";
    if (GetDriveTypeW(root.c_str()) != DRIVE_CDROM)
        return {Narrow(setup_.drive) + " is not a CD-ROM drive (type " +
                std::to_string(GetDriveTypeW(root.c_str())) + ")"};
    if (!PathExists(setup_.drive + L"\\Installer\\setup.exe"))
        return {Narrow(setup_.drive) + " holds no Installer\\setup.exe"};
    return {};
}

Problems Run::DriveMatchesMedium() {
    return CompareTrees(setup_.medium, setup_.drive, "drive " + Narrow(setup_.drive));
}

Problems Run::InstallerWindow() {
    installer_.probeLibrary = setup_.probeLibrary;
    const std::wstring setupExe = setup_.drive + L"\\Installer\\setup.exe";
    if (!StartInstaller(setupExe, installer_))
        return {"no installer window from " + Narrow(setupExe) + " within 15 s"};
    Picture(installer_.window, L"window");
    return {};
}

Problems Run::TextsFit() {
    const std::vector<TextFit> fits = MeasureTextFits(installer_);
    if (fits.empty())
        return {"the probe in the installer did not answer"};
    Problems problems;
    for (const TextFit& fit : fits) {
        if (!fit.hasFont)
            problems.push_back("\"" + Narrow(fit.text) + "\" has no font of its own");
        else if (fit.needed > fit.available)
            problems.push_back("\"" + Narrow(fit.text) + "\" needs " + std::to_string(fit.needed) +
                               " px where its " + (fit.isButton ? "button" : "box") + " offers " +
                               std::to_string(fit.available) + " px");
    }
    return problems;
}

Problems Run::Install() {
    std::vector<ExpectedBox> expected = {kInstalledBox};
    std::vector<int> answers = {IDOK};
    if (hasLibrary_) {
        expected.insert(expected.begin(), kRegisterBox);
        answers.insert(answers.begin(), IDYES);
    }
    const std::vector<ShownBox> shown = RunWorkflow(
        installer_, kInstallButton, answers, setup_.boxTimeoutMs, [this](HWND box, size_t index) {
            Picture(box,
                    hasLibrary_ && index == 0 ? L"box-register-question" : L"box-install-complete");
        });
    return CompareBoxes(shown, expected, installer_.window);
}

Problems Run::InstalledTree() {
    const std::wstring script = kInstallRoot + kScriptsFolder + kRegisterScript;
    Problems problems = CompareTrees(setup_.medium, kInstallRoot, Narrow(kInstallRoot),
                                     {std::wstring(kScriptsFolder).substr(1) + kRegisterScript});
    if (hasLibrary_) {
        const UniqueHandle file(OpenForReadDenyWrite(script));
        if (!file ||
            !FileHoldsAnsiText(file.get(), ComposeRegisterScript(kInstallRoot + kCaptureLibrary)))
            problems.push_back(Narrow(script) + " does not hold the registration command");
    }
    // Copies keep the attributes that the files have on the drive.
    for (const std::wstring& name : ListTree(setup_.drive)) {
        if (name.back() == L'\\' || !PathExists(kInstallRoot + L"\\" + name))
            continue;
        const bool onDrive = IsReadOnly(setup_.drive + L"\\" + name);
        if (IsReadOnly(kInstallRoot + L"\\" + name) != onDrive)
            problems.push_back(Narrow(name) + (onDrive ? " lost" : " gained") +
                               " the read-only attribute that it has on the drive");
    }
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
    const std::wstring inside = kInstallRoot + L"\\";
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
    const std::wstring link = GetDesktopFolder() + kShortcutFile;
    const ShortcutFields fields = ReadShortcut(link);
    if (!fields.loaded)
        return {"no shortcut " + Narrow(link) + " that the shell can read"};
    Problems problems;
    const auto expect = [&problems](const char* what, const std::wstring& got,
                                    const std::wstring& want) {
        if (got != want)
            problems.push_back(std::string(what) + " is \"" + Narrow(got) + "\", not \"" +
                               Narrow(want) + "\"");
    };
    expect("target", fields.target, kInstallRoot + kClientExecutable);
    expect("working folder", fields.workingFolder, kInstallRoot);
    expect("icon", fields.iconPath, hasIcon_ ? kInstallRoot + kClientIcon : std::wstring());
    if (hasIcon_ && fields.iconIndex != 0)
        problems.push_back("icon index is " + std::to_string(fields.iconIndex) + ", not 0");
    return problems;
}

Problems Run::Uninstall() {
    const std::vector<ShownBox> shown =
        RunWorkflow(installer_, kUninstallButton, {IDOK}, setup_.boxTimeoutMs,
                    [this](HWND box, size_t) { Picture(box, L"box-uninstall-complete"); });
    return CompareBoxes(shown, {kUninstalledBox}, installer_.window);
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
    ClickButton(GetDlgItem(installer_.window, kCancelButton));
    DWORD exitCode = 0;
    if (!WaitForExit(installer_.process, 10000, exitCode))
        return {"the installer did not end within 10 s of Cancel"};
    if (exitCode != 0)
        return {"the installer ended with exit code " + std::to_string(exitCode)};
    return {};
}

std::vector<CheckResult> Run::Go() {
    hasLibrary_ = PathExists(setup_.medium + kCaptureLibrary);
    hasIcon_ = PathExists(setup_.medium + kClientIcon);
    const std::string noLibrary = "the medium holds no ovikClient\\ScreenCapture.ax";

    if (Check("medium-drive", [this] { return MediumDrive(); })) {
        Check("drive-matches-medium", [this] { return DriveMatchesMedium(); });
        keysBefore_ = RegistrySnapshot();
        if (Check("installer-window", [this] { return InstallerWindow(); })) {
            Check("texts-fit", [this] { return TextsFit(); });
            const bool installed = Check("install", [this] { return Install(); });
            Check("installed-tree", [this] { return InstalledTree(); });
            if (hasLibrary_)
                Check("registration", [this] { return Registration(); });
            else
                Skip("registration", noLibrary);
            Check("shortcut", [this] { return Shortcut(); });
            // An install that went wrong may have left a box open; the
            // uninstall would then not run as a user meets it.
            if (installed && Check("uninstall", [this] { return Uninstall(); })) {
                Check("uninstall-removes-tree", [] {
                    return PathExists(kInstallRoot)
                               ? Problems{Narrow(kInstallRoot) + " is still there"}
                               : Problems{};
                });
                Check("uninstall-removes-shortcut", [] {
                    const std::wstring link = GetDesktopFolder() + kShortcutFile;
                    return PathExists(link) ? Problems{Narrow(link) + " is still there"}
                                            : Problems{};
                });
                if (hasLibrary_)
                    Check("uninstall-removes-registration",
                          [this] { return RemovesRegistration(); });
                else
                    Skip("uninstall-removes-registration", noLibrary);
                Check("installer-closes", [this] { return InstallerCloses(); });
            }
        }
    }
    Check("screenshots", [this] { return pictureProblems_; });

    // In the order of kCheckNames; a check that an earlier failure kept
    // from running fails as not run.
    std::vector<CheckResult> ordered;
    for (const char* name : kCheckNames) {
        const auto found =
            std::find_if(results_.begin(), results_.end(),
                         [name](const CheckResult& result) { return result.name == name; });
        if (found != results_.end()) {
            ordered.push_back(*found);
            continue;
        }
        CheckResult notRun;
        notRun.name = name;
        notRun.outcome = CheckResult::Outcome::kFailed;
        notRun.why = "not run: an earlier check failed";
        notRun.details = {notRun.why};
        Say(SummaryLine(notRun));
        ordered.push_back(notRun);
    }
    return ordered;
}

}  // namespace

std::vector<CheckResult> RunChecks(const CheckSetup& setup) {
    Run run(setup);
    return run.Go();
}
