// Recursive copy and removal of a folder tree.
#include "shellops/shellops.h"

#include "shellops/handles.h"

#include <shlobj.h>

namespace {

bool IsDotEntry(const wchar_t* name) {
    return (name[0] == L'.' && name[1] == L'\0') ||
           (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

// Absolute form of `path` with exactly one trailing backslash, for
// containment checks only; the walks themselves use paths as given. The
// trailing backslash makes a bare drive ("C:") stand for its root, which is
// what "C:" + "\*" enumerates.
std::wstring FullPathWithSeparator(const std::wstring& path) {
    const std::wstring withSeparator = path + L"\\";
    const DWORD needed = GetFullPathNameW(withSeparator.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return std::wstring();
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(withSeparator.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return std::wstring();
    full.resize(length);
    if (full.back() != L'\\')
        full += L'\\';
    return full;
}

// Resolved path of an existing folder, links followed, with a trailing
// backslash; empty when it cannot be opened.
std::wstring ResolvedFolderPath(const std::wstring& folder) {
    UniqueHandle handle =
        MakeUniqueHandle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle)
        return std::wstring();
    const DWORD needed = GetFinalPathNameByHandleW(handle.get(), nullptr, 0, FILE_NAME_NORMALIZED);
    if (needed == 0)
        return std::wstring();
    std::wstring resolved(needed, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(handle.get(), resolved.data(), needed, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= needed)
        return std::wstring();
    resolved.resize(length);
    if (resolved.back() != L'\\')
        resolved += L'\\';
    return resolved;
}

// True when `inner` equals `outer` or lies below it. Both end in a backslash.
bool IsSameOrInside(const std::wstring& inner, const std::wstring& outer) {
    if (inner.empty() || outer.empty() || inner.size() < outer.size())
        return false;
    return CompareStringOrdinal(inner.c_str(), static_cast<int>(outer.size()), outer.c_str(),
                                static_cast<int>(outer.size()), TRUE) == CSTR_EQUAL;
}

// A linked folder may be copied through only when what it points to holds
// neither the folder being walked (a cycle) nor the destination, and does not
// lie inside the destination (the copy would feed on itself).
bool MayFollowLink(const std::wstring& link, const std::wstring& folder,
                   const std::wstring& destinationRoot) {
    const std::wstring target = ResolvedFolderPath(link);
    const std::wstring here = ResolvedFolderPath(folder);
    const std::wstring destination = ResolvedFolderPath(destinationRoot);
    if (target.empty() || here.empty() || destination.empty())
        return false;
    return !IsSameOrInside(here, target) && !IsSameOrInside(destination, target) &&
           !IsSameOrInside(target, destination);
}

bool CopyLevel(const std::wstring& source, const std::wstring& destination,
               const std::wstring& destinationRoot, const SECURITY_ATTRIBUTES* security) {
    const int created = SHCreateDirectoryExW(nullptr, destination.c_str(), security);
    if (created != ERROR_SUCCESS && created != ERROR_ALREADY_EXISTS)
        return false;

    WIN32_FIND_DATAW entry;
    UniqueFind find = MakeUniqueFind(FindFirstFileW((source + L"\\*").c_str(), &entry));
    if (!find)
        return false;

    bool allCopied = true;
    do {
        if (IsDotEntry(entry.cFileName))
            continue;
        const std::wstring childSource = source + L"\\" + entry.cFileName;
        const std::wstring childDestination = destination + L"\\" + entry.cFileName;
        bool stepOk;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            const bool isLink = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            stepOk = (!isLink || MayFollowLink(childSource, source, destinationRoot)) &&
                     CopyLevel(childSource, childDestination, destinationRoot, nullptr);
        } else {
            stepOk = CopyFileW(childSource.c_str(), childDestination.c_str(), FALSE) != 0;
        }
        allCopied = allCopied && stepOk;
    } while (FindNextFileW(find.get(), &entry));
    return allCopied;
}

}  // namespace

bool CopyDirectoryTree(const std::wstring& source, const std::wstring& destination,
                       const SECURITY_ATTRIBUTES* security) {
    // An empty source would enumerate "\*", the root of the current drive.
    if (source.empty() || destination.empty())
        return false;
    const std::wstring fullSource = FullPathWithSeparator(source);
    const std::wstring fullDestination = FullPathWithSeparator(destination);
    if (fullSource.empty() || fullDestination.empty())
        return false;
    if (IsSameOrInside(fullDestination, fullSource))
        return false;
    return CopyLevel(source, destination, destination, security);
}

namespace {

// Deletes everything below `path`, then `path` itself. Linked folders met on
// the way are removed as links, never entered.
bool RemoveLevel(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    UniqueFind find = MakeUniqueFind(FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (find) {
        do {
            if (IsDotEntry(entry.cFileName))
                continue;
            const std::wstring child = path + L"\\" + entry.cFileName;
            const bool isLink = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                // Removing a linked folder as a folder removes the link itself.
                if (isLink)
                    RemoveDirectoryW(child.c_str());
                else
                    RemoveLevel(child);
            } else {
                // Resetting a linked file's attributes would change its target.
                if (!isLink)
                    SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find.get(), &entry));
        find.reset();
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}

}  // namespace

bool RemoveDirectoryTree(const std::wstring& path) {
    // A linked top folder loses only the link; what it points to stays.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return RemoveDirectoryW(path.c_str()) != 0;
    return RemoveLevel(path);
}
