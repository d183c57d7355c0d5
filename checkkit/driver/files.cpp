#include "checkkit/driver/files.h"

#include "shellops/handles.h"

#include <algorithm>
#include <cstring>

bool IsRunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

UniqueHandle OpenForReading(const std::wstring& path) {
    return MakeUniqueHandle(CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// Fills `chunk` as far as the file allows; false on a read error.
bool ReadChunk(HANDLE file, std::vector<char>& chunk) {
    DWORD got = 0;
    size_t filled = 0;
    const size_t size = chunk.size();
    while (filled < size) {
        if (!ReadFile(file, chunk.data() + filled, static_cast<DWORD>(size - filled), &got,
                      nullptr))
            return false;
        if (got == 0)
            break;
        filled += got;
    }
    chunk.resize(filled);
    return true;
}

void ListInto(const std::wstring& root, const std::wstring& prefix,
              std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW entry;
    const UniqueFind find = MakeUniqueFind(FindFirstFileW((root + L"\\*").c_str(), &entry));
    if (!find)
        return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out.push_back(prefix + name + L"\\");
            // Linked folders are listed, not entered: a link cycle has no end.
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                ListInto(root + L"\\" + name, prefix + name + L"\\", out);
        } else {
            out.push_back(prefix + name);
        }
    } while (FindNextFileW(find.get(), &entry));
}

}  // namespace

std::string ReadBytes(const std::wstring& path) {
    const UniqueHandle file = OpenForReading(path);
    if (!file)
        return std::string();
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    return bytes;
}

std::vector<std::wstring> ListTree(const std::wstring& root) {
    std::vector<std::wstring> out;
    ListInto(root, L"", out);
    std::sort(out.begin(), out.end());
    return out;
}

Comparison CompareFiles(const std::wstring& first, const std::wstring& second) {
    const UniqueHandle a = OpenForReading(first);
    if (!a)
        return Comparison::kFirstUnreadable;
    const UniqueHandle b = OpenForReading(second);
    if (!b)
        return Comparison::kSecondUnreadable;
    constexpr size_t kChunk = 1 << 20;
    std::vector<char> left(kChunk);
    std::vector<char> right(kChunk);
    for (;;) {
        left.resize(kChunk);
        right.resize(kChunk);
        if (!ReadChunk(a.get(), left))
            return Comparison::kFirstUnreadable;
        if (!ReadChunk(b.get(), right))
            return Comparison::kSecondUnreadable;
        if (left.size() != right.size() || std::memcmp(left.data(), right.data(), left.size()) != 0)
            return Comparison::kDiffer;
        if (left.empty())
            return Comparison::kSame;
    }
}

ULONGLONG NowMs() {
    return GetTickCount64();
}
