// Benchmark driver on the Windows side: lays out sample trees, times the
// tree copy and removal in-process, times other programs from launch to
// exit, and takes a copy and a removal apart into their kinds of calls.
//
// A timing is one line "<seconds> <ok> ..." on stdout, ok being 1 or 0, for
// the driver script to read; the script does the repetitions, the order of
// the contenders and the statistics.
#include "shellops/shellops.h"

#include "shellops/handles.h"

#include <windows.h>
#include <psapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD kRunLimitMs = 15 * 60 * 1000;
constexpr size_t kWriteChunk = 1 << 20;

double Seconds(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

void PrintTiming(double seconds, bool ok) {
    std::printf("%.6f %d\n", seconds, ok ? 1 : 0);
}

std::wstring Numbered(const wchar_t* prefix, unsigned number, const wchar_t* suffix) {
    wchar_t name[32];
    std::swprintf(name, 32, L"%ls%05u%ls", prefix, number, suffix);
    return name;
}

bool WriteFileOfSize(const std::wstring& path, unsigned long long size,
                     const std::vector<char>& pattern) {
    UniqueHandle file = MakeUniqueHandle(CreateFileW(
        path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(size < pattern.size() ? size : pattern.size());
        DWORD written = 0;
        if (!WriteFile(file.get(), pattern.data(), chunk, &written, nullptr) || written != chunk)
            return false;
        size -= chunk;
    }
    return true;
}

// `files` files of `bytes` bytes each, dealt out in order over `folders`
// sub-folders of `root` (d00000, d00001, ...). Each file starts with its own
// number, so no two files have the same content.
int MakeTree(const std::wstring& root, unsigned files, unsigned folders, unsigned long long bytes) {
    if (folders == 0 || bytes == 0 || !CreateDirectoryW(root.c_str(), nullptr)) {
        std::fwprintf(stderr, L"cannot create %ls\n", root.c_str());
        return 1;
    }
    std::vector<char> pattern(bytes < kWriteChunk ? static_cast<size_t>(bytes) : kWriteChunk);
    for (size_t at = 0; at < pattern.size(); ++at)
        pattern[at] = static_cast<char>(at * 131 >> 3);
    const unsigned perFolder = (files + folders - 1) / folders;
    unsigned made = 0;
    for (unsigned folder = 0; folder < folders; ++folder) {
        const std::wstring folderPath = root + L"\\" + Numbered(L"d", folder, L"");
        if (!CreateDirectoryW(folderPath.c_str(), nullptr)) {
            std::fwprintf(stderr, L"cannot create %ls\n", folderPath.c_str());
            return 1;
        }
        for (unsigned i = 0; i < perFolder && made < files; ++i, ++made) {
            std::snprintf(pattern.data(), pattern.size(), "%08u", made);
            const std::wstring filePath = folderPath + L"\\" + Numbered(L"f", made, L".dat");
            if (!WriteFileOfSize(filePath, bytes, pattern)) {
                std::fwprintf(stderr, L"cannot write %ls\n", filePath.c_str());
                return 1;
            }
        }
    }
    std::printf("made %u files in %u folders\n", made, folders);
    return 0;
}

// Times the copy, then adds the peak working set from before the copy (what
// start-up alone costs) and after it, and the peak private bytes: run as a
// fresh process that does nothing else, these are the copy's own figures.
int TimeCopy(const std::wstring& source, const std::wstring& destination) {
    PROCESS_MEMORY_COUNTERS before = {};
    before.cb = sizeof(before);
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before));

    const LARGE_INTEGER start = Now();
    const bool ok = CopyDirectoryTree(source, destination);
    const double seconds = Seconds(start, Now());

    PROCESS_MEMORY_COUNTERS after = {};
    after.cb = sizeof(after);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after)))
        std::fwprintf(stderr, L"GetProcessMemoryInfo failed (error %lu)\n", GetLastError());
    std::printf("%.6f %d %llu %llu %llu\n", seconds, ok ? 1 : 0,
                static_cast<unsigned long long>(before.PeakWorkingSetSize),
                static_cast<unsigned long long>(after.PeakWorkingSetSize),
                static_cast<unsigned long long>(after.PeakPagefileUsage));
    return 0;
}

int TimeRemove(const std::wstring& path) {
    const LARGE_INTEGER start = Now();
    const bool ok = RemoveDirectoryTree(path);
    PrintTiming(Seconds(start, Now()), ok);
    return 0;
}

// Times `commandLine` from CreateProcessW to the end of the process. Its
// output goes to NUL: the peers print a line per file, and writing those
// through Wine's console plumbing would be timed as copying.
int TimeRun(const std::wstring& commandLine) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    UniqueHandle nul = MakeUniqueHandle(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                                    OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.get();
    startup.hStdOutput = nul.get();
    startup.hStdError = nul.get();
    PROCESS_INFORMATION process = {};
    std::wstring mutableLine = commandLine;

    const LARGE_INTEGER start = Now();
    if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        std::fwprintf(stderr, L"cannot start %ls (error %lu)\n", commandLine.c_str(),
                      GetLastError());
        PrintTiming(0.0, false);
        return 0;
    }
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    const bool ended = WaitForSingleObject(process.hProcess, kRunLimitMs) == WAIT_OBJECT_0;
    const LARGE_INTEGER end = Now();
    DWORD exitCode = 1;
    if (!ended)
        TerminateProcess(process.hProcess, 1);
    else
        GetExitCodeProcess(process.hProcess, &exitCode);
    if (exitCode != 0)
        std::fwprintf(stderr, L"%ls: exit code %lu\n", commandLine.c_str(), exitCode);
    PrintTiming(Seconds(start, end), ended && exitCode == 0);
    return 0;
}

// ---- Breakdown of a copy and a removal into their kinds of calls ----------

struct Entry {
    bool isFolder;
    std::wstring relative;  // below the root, with a leading backslash
};

bool IsDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Lists everything below `folder` in the order a recursive walk meets it,
// forming each child's full path the way the tree walks do.
bool Walk(const std::wstring& folder, const std::wstring& relative, bool basicLargeFetch,
          std::vector<Entry>& entries) {
    WIN32_FIND_DATAW entry;
    const std::wstring pattern = folder + L"\\*";
    UniqueFind find =
        MakeUniqueFind(basicLargeFetch ? FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry,
                                                          FindExSearchNameMatch, nullptr,
                                                          FIND_FIRST_EX_LARGE_FETCH)
                                       : FindFirstFileW(pattern.c_str(), &entry));
    if (!find)
        return false;
    bool ok = true;
    do {
        if (IsDotEntry(entry.cFileName))
            continue;
        const std::wstring child = folder + L"\\" + entry.cFileName;
        const std::wstring childRelative = relative + L"\\" + entry.cFileName;
        const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries.push_back({isFolder, childRelative});
        if (isFolder)
            ok = Walk(child, childRelative, basicLargeFetch, entries) && ok;
    } while (FindNextFileW(find.get(), &entry));
    return ok;
}

void PrintStep(const char* step, double seconds) {
    std::printf("%s %.6f\n", step, seconds);
}

// Times the parts of a tree copy one after another: the enumeration (with
// FindFirstFileW, and with FindFirstFileExW asking for basic information in
// large fetches), building the source and destination paths, creating the
// destination folders and copying the files with CopyFileW.
int ProfileCopy(const std::wstring& source, const std::wstring& destination) {
    std::vector<Entry> entries;
    LARGE_INTEGER start = Now();
    bool ok = Walk(source, L"", false, entries);
    PrintStep("walk-findfirstfile", Seconds(start, Now()));

    std::vector<Entry> entriesEx;
    start = Now();
    ok = Walk(source, L"", true, entriesEx) && ok;
    PrintStep("walk-findfirstfileex-basic-largefetch", Seconds(start, Now()));
    ok = ok && entriesEx.size() == entries.size();

    std::vector<std::wstring> sources, destinations;
    sources.reserve(entries.size());
    destinations.reserve(entries.size());
    start = Now();
    for (const Entry& entry : entries) {
        sources.push_back(source + entry.relative);
        destinations.push_back(destination + entry.relative);
    }
    PrintStep("path-strings", Seconds(start, Now()));

    unsigned files = 0, folders = 1;
    start = Now();
    ok = SHCreateDirectoryExW(nullptr, destination.c_str(), nullptr) == ERROR_SUCCESS && ok;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].isFolder) {
            ok = SHCreateDirectoryExW(nullptr, destinations[i].c_str(), nullptr) == ERROR_SUCCESS &&
                 ok;
            ++folders;
        }
    }
    PrintStep("create-folders", Seconds(start, Now()));

    start = Now();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].isFolder) {
            ok = CopyFileW(sources[i].c_str(), destinations[i].c_str(), FALSE) && ok;
            ++files;
        }
    }
    PrintStep("copyfilew", Seconds(start, Now()));
    std::printf("files %u\nfolders %u\nok %d\n", files, folders, ok ? 1 : 0);
    return 0;
}

// Times the parts of a tree removal: the enumeration, resetting each file's
// attributes, deleting the files and removing the folders, deepest first.
int ProfileRemove(const std::wstring& path) {
    std::vector<Entry> entries;
    LARGE_INTEGER start = Now();
    bool ok = Walk(path, L"", false, entries);
    PrintStep("walk-findfirstfile", Seconds(start, Now()));

    start = Now();
    for (const Entry& entry : entries) {
        if (!entry.isFolder)
            ok = SetFileAttributesW((path + entry.relative).c_str(), FILE_ATTRIBUTE_NORMAL) && ok;
    }
    PrintStep("setfileattributesw", Seconds(start, Now()));

    start = Now();
    for (const Entry& entry : entries) {
        if (!entry.isFolder)
            ok = DeleteFileW((path + entry.relative).c_str()) && ok;
    }
    PrintStep("deletefilew", Seconds(start, Now()));

    start = Now();
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (entry->isFolder)
            ok = RemoveDirectoryW((path + entry->relative).c_str()) && ok;
    }
    ok = RemoveDirectoryW(path.c_str()) && ok;
    PrintStep("removedirectoryw", Seconds(start, Now()));
    std::printf("ok %d\n", ok ? 1 : 0);
    return 0;
}

int Usage() {
    std::fwprintf(stderr,
                  L"usage: tree_bench make ROOT FILES FOLDERS BYTES\n"
                  L"       tree_bench copy SOURCE DESTINATION\n"
                  L"       tree_bench remove PATH\n"
                  L"       tree_bench run COMMAND-LINE\n"
                  L"       tree_bench profile-copy SOURCE DESTINATION\n"
                  L"       tree_bench profile-remove PATH\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3)
        return Usage();
    const std::wstring command = argv[1];
    if (command == L"make" && argc == 6)
        return MakeTree(argv[2], static_cast<unsigned>(wcstoul(argv[3], nullptr, 10)),
                        static_cast<unsigned>(wcstoul(argv[4], nullptr, 10)),
                        wcstoull(argv[5], nullptr, 10));
    if (command == L"copy" && argc == 4)
        return TimeCopy(argv[2], argv[3]);
    if (command == L"remove" && argc == 3)
        return TimeRemove(argv[2]);
    if (command == L"run" && argc == 3)
        return TimeRun(argv[2]);
    if (command == L"profile-copy" && argc == 4)
        return ProfileCopy(argv[2], argv[3]);
    if (command == L"profile-remove" && argc == 3)
        return ProfileRemove(argv[2]);
    return Usage();
}
