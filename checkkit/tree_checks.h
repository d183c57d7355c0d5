// The checks of trees: what a drive or an install root holds against the
// medium it came from, by name, bytes and the attributes a copy keeps.
#pragma once

#include "checkkit/check_run.h"

#include <windows.h>

#include <map>
#include <string>
#include <vector>

// The attributes a copy keeps, and the only ones the trees below compare.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// "read-only, hidden" and the like; "none".
std::string AttributeNames(DWORD attributes);

// The trees below `mediumRoot` and `actualRoot` compared by reading both
// file by file: names missing from the actual tree, names only there (but
// for `allowedExtra`), and each file of the medium whose bytes differ.
Problems CompareTrees(const std::wstring& mediumRoot, const std::wstring& actualRoot,
                      const std::string& actualName,
                      const std::vector<std::wstring>& allowedExtra = {});

// Each file below `installRoot` read-only exactly when it is so below `drive`.
Problems ReadOnlyKept(const std::wstring& drive, const std::wstring& installRoot);

// A tree read whole: each entry's kept attributes and, for files, bytes.
struct Entry {
    DWORD attributes = 0;
    bool folder = false;
    std::string bytes;
};
using Tree = std::map<std::wstring, Entry>;
Tree ReadTree(const std::wstring& root);

// `actual` against `expected`: names missing and extra (but for
// `allowedExtra`), bytes, and each file's kept attributes.
Problems CompareTrees(const Tree& expected, const Tree& actual, const std::string& where,
                      const std::vector<std::wstring>& allowedExtra);
