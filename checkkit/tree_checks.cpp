#include "checkkit/tree_checks.h"

#include "checkkit/driver/files.h"
#include "checkkit/text.h"

#include <algorithm>
#include <iterator>

namespace {

bool IsReadOnly(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

}  // namespace

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

Problems CompareTrees(const std::wstring& mediumRoot, const std::wstring& actualRoot,
                      const std::string& actualName,
                      const std::vector<std::wstring>& allowedExtra) {
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

Problems ReadOnlyKept(const std::wstring& drive, const std::wstring& installRoot) {
    Problems problems;
    // Copies keep the attributes that the files have on the drive.
    for (const std::wstring& name : ListTree(drive)) {
        const std::wstring installed = installRoot + L"\\" + name;
        if (name.back() == L'\\' || !PathExists(installed))
            continue;
        const bool onDrive = IsReadOnly(drive + L"\\" + name);
        if (IsReadOnly(installed) != onDrive)
            problems.push_back(Narrow(name) + (onDrive ? " lost" : " gained") +
                               " the read-only attribute that it has on the drive");
    }
    return problems;
}

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
