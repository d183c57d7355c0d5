// ovik-check.exe: checks a release on a disposable Windows machine.
//
//   ovik-check.exe RELEASE_DIR RESULTS_DIR [--version V] [--disposable] [--drive X:]
//
// It mounts the release's CD image (or takes the drive given with --drive),
// compares that drive with the release's medium folder, installs from it by
// driving setup.exe with window messages, checks what the install left,
// uninstalls and checks what is gone. Results go to RESULTS_DIR. Exit code:
// 0 when every check passed, 1 when one failed, 2 when it refused to run or
// was called wrongly (then it has written nothing).
#include "checkkit/checks.h"
#include "checkkit/driver/files.h"
#include "checkkit/text.h"
#include "checkkit/expected.h"
#include "checkkit/mount.h"
#include "checkkit/probe_medium.h"
#include "checkkit/report.h"
#include "checkkit/sandbox.h"
#include "shellops/handles.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cwctype>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;

// Windows Sandbox signs in every session with this account.
constexpr wchar_t kSandboxAccount[] = L"WDAGUtilityAccount";

constexpr char kUsage[] =
    "usage: ovik-check.exe RELEASE_DIR RESULTS_DIR [--version V] [--disposable] [--drive X:]\n"
    "       ovik-check.exe --sandbox-config RELEASE_DIR RESULTS_DIR   (writes\n"
    "                      RESULTS_DIR\\ovik-check.wsb for Windows Sandbox; sandbox.cmd uses it)\n"
    "\n"
    "  RELEASE_DIR   the release folder: ovik-medium-<version>\\ and ovik-medium-<version>.iso\n"
    "  RESULTS_DIR   where ovik-check.txt, ovik-check.xml and the pictures go (made if missing)\n"
    "  --version V   the release ovik-medium-V, where the folder holds several\n"
    "  --disposable  this machine is a throw-away one (not needed in Windows Sandbox)\n"
    "  --drive X:    the image is already mounted at X: (otherwise the check mounts it)\n"
    "\n"
    "It installs into C:\\ovikProgram, registers the client's library and removes both again:\n"
    "run it only on a disposable machine without C:\\ovikProgram.";

struct Options {
    std::wstring release;
    std::wstring results;
    std::wstring drive;
    std::wstring version;
    bool disposable = false;
};

int Refuse(const std::string& why) {
    Say("ovik-check: " + why);
    return kExitRefused;
}

// `path` made absolute, with "." and ".." resolved, forward slashes turned
// round, separators not doubled and no trailing one (but for a drive's root).
std::wstring FullPath(const std::wstring& path) {
    std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    full = length > 0 && length < full.size() ? full.substr(0, length) : path;
    std::wstring clean;
    for (size_t i = 0; i < full.size(); ++i) {
        const wchar_t c = full[i] == L'/' ? L'\\' : full[i];
        // A UNC path keeps its two leading backslashes.
        if (c == L'\\' && i > 1 && !clean.empty() && clean.back() == L'\\')
            continue;
        clean += c;
    }
    while (clean.size() > 3 && clean.back() == L'\\')
        clean.pop_back();
    return clean;
}

std::wstring ParentOf(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\'));
}

// Parses the arguments; false, with the reason, on anything unexpected.
bool ParseOptions(int argc, wchar_t** argv, Options& options, std::string& why) {
    std::vector<std::wstring> positional;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument == L"--disposable") {
            options.disposable = true;
        } else if (argument == L"--drive") {
            if (i + 1 >= argc) {
                why = "--drive needs a drive such as D:";
                return false;
            }
            options.drive = argv[++i];
            if (options.drive.size() == 3 && options.drive[2] == L'\\')
                options.drive.pop_back();
            if (options.drive.size() != 2 || options.drive[1] != L':' ||
                !std::iswalpha(options.drive[0])) {
                why = "--drive " + Narrow(options.drive) + " is not a drive such as D:";
                return false;
            }
        } else if (argument == L"--version") {
            if (i + 1 >= argc || !*argv[i + 1]) {
                why = "--version needs the release's version, such as 2.1.0";
                return false;
            }
            options.version = argv[++i];
        } else if (argument.rfind(L"--", 0) == 0) {
            why = "unknown option " + Narrow(argument);
            return false;
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() != 2) {
        why = "give the release folder and the results folder";
        return false;
    }
    options.release = positional[0];
    options.results = positional[1];
    for (std::wstring* folder : {&options.release, &options.results})
        *folder = FullPath(*folder);
    return true;
}

std::wstring UserName() {
    wchar_t name[256] = {};
    DWORD size = 256;
    return GetUserNameW(name, &size) ? std::wstring(name) : std::wstring();
}

// The entries of `folder` whose names match `pattern`, folders or files as
// asked; hidden ones (a release in the making) left out.
std::vector<std::wstring> Matching(const std::wstring& folder, const std::wstring& pattern,
                                   bool folders) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    const UniqueFind find =
        MakeUniqueFind(FindFirstFileW((folder + L"\\" + pattern).c_str(), &entry));
    if (!find)
        return names;
    do {
        const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isFolder == folders && !(entry.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) &&
            entry.cFileName[0] != L'.')
            names.emplace_back(entry.cFileName);
    } while (FindNextFileW(find.get(), &entry));
    std::sort(names.begin(), names.end());
    return names;
}

std::string NameList(const std::vector<std::wstring>& names) {
    std::string list;
    for (const std::wstring& name : names)
        list += (list.empty() ? "" : ", ") + Narrow(name);
    return list;
}

// Writes the probe library that ovik-check.exe carries to a folder of its
// own below the temporary folder; empty on failure.
std::wstring WriteProbeLibrary() {
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_RCDATA);
    const HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes)
        return std::wstring();
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"ovik-check-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring path = folder + L"\\installer_probe.dll";
    const UniqueHandle file = MakeUniqueHandle(CreateFileW(
        path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    const DWORD size = SizeofResource(nullptr, resource);
    if (!file || !WriteFile(file.get(), bytes, size, &written, nullptr) || written != size)
        return std::wstring();
    return path;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    std::string why;
    if (argc == 2 && (std::wstring(argv[1]) == L"--help" || std::wstring(argv[1]) == L"-h")) {
        Say(kUsage);
        return 0;
    }
    if (argc == 4 && std::wstring(argv[1]) == L"--sandbox-config") {
        // For sandbox.cmd, whose own text handling would trip over
        // ampersands and parentheses in folder names.
        const std::wstring written = WriteSandboxConfig(argv[2], argv[3], why);
        if (written.empty())
            return Refuse(why);
        Say("wrote " + Narrow(written));
        return 0;
    }
    if (!ParseOptions(argc, argv, options, why))
        return Refuse(why + "\n\n" + kUsage);

    // Nothing is touched before both of these hold.
    const std::wstring user = UserName();
    const bool sandbox =
        CompareStringOrdinal(user.c_str(), -1, kSandboxAccount, -1, TRUE) == CSTR_EQUAL;
    if (!sandbox && !options.disposable)
        return Refuse(
            "refusing to run: this machine is not known to be disposable. The check "
            "installs into C:\\ovikProgram, registers a library and changes the "
            "desktop. Run it in Windows Sandbox (sandbox.cmd), where the user is " +
            Narrow(kSandboxAccount) + " (here it is " + Narrow(user) +
            "), or on a throw-away virtual machine with --disposable.");
    if (PathExists(expected::kInstallRoot))
        return Refuse("refusing to run: " + Narrow(expected::kInstallRoot) +
                      " already exists, so this machine holds an install of the client (or "
                      "something of that name). The check would install over it and remove it. "
                      "Nothing was changed; use a fresh disposable machine.");

    if (!IsFolder(options.release))
        return Refuse("the release folder " + Narrow(options.release) + " does not exist");
    std::vector<std::wstring> media = Matching(options.release, L"ovik-medium-*", true);
    if (!options.version.empty()) {
        const std::wstring wanted = L"ovik-medium-" + options.version;
        if (std::find(media.begin(), media.end(), wanted) == media.end())
            return Refuse(Narrow(options.release) + " holds no release " + Narrow(wanted) +
                          (media.empty() ? "" : " (it holds " + NameList(media) + ")"));
        media = {wanted};
    }
    if (media.size() != 1)
        return Refuse(Narrow(options.release) +
                      (media.empty() ? " holds no medium folder ovik-medium-<version>"
                                     : " holds more than one medium folder (" + NameList(media) +
                                           "); give the one to check with --version"));
    CheckSetup setup;
    setup.medium = options.release + L"\\" + media[0];
    const std::wstring image = options.release + L"\\" + media[0] + L".iso";
    if (options.drive.empty()) {
        if (!PathExists(image))
            return Refuse(Narrow(options.release) + " holds no CD image " + Narrow(media[0]) +
                          ".iso");
    }
    setup.probeLibrary = WriteProbeLibrary();
    if (setup.probeLibrary.empty())
        return Refuse("cannot write the probe library to the temporary folder");
    if (SHCreateDirectoryExW(nullptr, options.results.c_str(), nullptr) != ERROR_SUCCESS &&
        !IsFolder(options.results))
        return Refuse("cannot make the results folder " + Narrow(options.results));
    setup.results = options.results;
    // Wine shows no elevation prompt; on Windows a person answers each.
    setup.boxTimeoutMs = IsRunningUnderWine() ? 90000 : 600000;

    Say("ovik-check " OVIK_CHECK_VERSION ": " + Narrow(setup.medium));
    Say("  Answer each elevation prompt with Yes: one for the library's registration during each "
        "install, two during each uninstall (nine in all: three for the release's medium, then "
        "six for the probe medium, which is installed and uninstalled twice).\n"
        "  昇格の確認（ユーザーアカウント制御）には「はい」で答えてください："
        "インストールごとに1回、アンインストールごとに2回、"
        "合わせて9回です（リリースの媒体で3回、確認用の媒体で6回。確認用の媒体は2回インストールとアンインストールをします）。");
    const ULONGLONG start = NowMs();
    std::vector<std::string> about = {"kit: ovik-check " OVIK_CHECK_VERSION,
                                      "release: " + Narrow(setup.medium)};
    const std::string imageHash = FileSha256(image);
    about.push_back("image: " + Narrow(image) +
                    (imageHash.empty() ? " (not there)" : ", SHA-256 " + imageHash));
    if (options.drive.empty()) {
        std::wstring mountProblem;
        setup.drive = MountImage(image, mountProblem);
        // Without a drive the first check fails with this reason, and the
        // others are skipped.
        if (setup.drive.empty())
            setup.driveProblem = "the image was not mounted: " + Narrow(mountProblem);
        else
            about.push_back("drive: " + Narrow(setup.drive) + ", " + Narrow(image) +
                            " mounted with the shell's Mount verb");
    } else {
        setup.drive = options.drive;
        about.push_back("drive: " + Narrow(setup.drive) + " (given with --drive)");
    }

    if (!setup.drive.empty()) {
        const std::wstring setupExe = setup.drive + expected::kSetupExe;
        const std::string setupHash = FileSha256(setupExe);
        about.push_back("setup.exe: " + Narrow(setupExe) +
                        (setupHash.empty() ? " (cannot be read)" : ", SHA-256 " + setupHash));
    }
    std::vector<CheckResult> results = RunChecks(setup);
    const std::vector<CheckResult> probe = RunProbeChecks(setup, results);
    results.insert(results.end(), probe.begin(), probe.end());
    const ULONGLONG seconds = (NowMs() - start + 500) / 1000;
    about.push_back("run time: " + std::to_string(seconds) + " s");
    const bool passed = std::all_of(results.begin(), results.end(), [](const CheckResult& result) {
        return result.outcome != CheckResult::Outcome::kFailed;
    });
    const std::string headline = Headline(results, setup.results);
    if (!WriteResults(setup.results, headline, results, ReadMachineFacts(), about, why)) {
        Say("ovik-check: " + why);
        return kExitFailed;
    }
    DeleteFileW(setup.probeLibrary.c_str());
    RemoveDirectoryW(ParentOf(setup.probeLibrary).c_str());
    Say(headline);
    Say("results in " + Narrow(setup.results) + "\\ovik-check.txt (" + std::to_string(seconds) +
        " s)");
    return passed ? 0 : kExitFailed;
}
