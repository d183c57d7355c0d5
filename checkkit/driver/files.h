// Reading trees and files back, for the end-to-end tests and the release
// check: what a medium, a drive or an install root holds, byte for byte.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// True when this process runs under Wine.
bool IsRunningUnderWine();

bool PathExists(const std::wstring& path);
bool IsFolder(const std::wstring& path);

// The whole file; empty when it cannot be read.
std::string ReadBytes(const std::wstring& path);

// Every entry below `root`, sorted, folders with a trailing '\'. Linked
// folders are listed, not entered.
std::vector<std::wstring> ListTree(const std::wstring& root);

enum class Comparison { kSame, kDiffer, kFirstUnreadable, kSecondUnreadable };

// Compares two files chunk by chunk, without holding either whole.
Comparison CompareFiles(const std::wstring& first, const std::wstring& second);

// Milliseconds since an arbitrary start.
ULONGLONG NowMs();
