// Tiny owners for the platform handles and COM state used by the shell
// operations, so every path out of an operation releases what it opened.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <memory>

struct HandleCloser {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
// A kernel handle; both null and INVALID_HANDLE_VALUE count as empty.
using UniqueHandle = std::unique_ptr<void, HandleCloser>;
inline UniqueHandle MakeUniqueHandle(HANDLE handle) {
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

struct FindCloser {
    void operator()(HANDLE find) const noexcept { FindClose(find); }
};
// A FindFirstFileW enumeration; INVALID_HANDLE_VALUE counts as empty.
using UniqueFind = std::unique_ptr<void, FindCloser>;
inline UniqueFind MakeUniqueFind(HANDLE find) {
    return UniqueFind(find == INVALID_HANDLE_VALUE ? nullptr : find);
}

struct CoTaskMemFreer {
    void operator()(void* memory) const noexcept { CoTaskMemFree(memory); }
};
// A string the shell allocated with the COM task allocator.
using UniqueCoTaskString = std::unique_ptr<wchar_t, CoTaskMemFreer>;

// Pairs CoInitialize with CoUninitialize, which runs only when CoInitialize
// succeeded (S_FALSE, "already initialised on this thread", included).
struct ComApartment {
    HRESULT result = CoInitialize(nullptr);
    ComApartment() = default;
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (SUCCEEDED(result))
            CoUninitialize();
    }
};

struct LocalFreer {
    void operator()(void* memory) const noexcept { LocalFree(memory); }
};
// Memory the platform allocated with LocalAlloc (security descriptors, SIDs
// and their texts).
using UniqueLocalMemory = std::unique_ptr<void, LocalFreer>;
