// The installer executable as a file: its manifest, its icon groups, its
// version information and the DLLs that it imports, read from the bytes that
// ship on the medium.
#include "tests/support/medium.h"
#include "checkkit/text.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>
#include <winver.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

std::wstring BuiltInstaller() {
    return BuiltMediumFolder() + L"\\Installer\\setup.exe";
}

// The executable mapped as resources only: nothing of it runs.
struct ResourceModule {
    HMODULE module = LoadLibraryExW(BuiltInstaller().c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ResourceModule() = default;
    ResourceModule(const ResourceModule&) = delete;
    ResourceModule& operator=(const ResourceModule&) = delete;
    ~ResourceModule() {
        if (module)
            FreeLibrary(module);
    }
};

std::string ResourceBytes(HMODULE module, LPCWSTR type, LPCWSTR name) {
    const HRSRC found = FindResourceW(module, name, type);
    if (!found)
        return std::string();
    const HGLOBAL loaded = LoadResource(module, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data)
        return std::string();
    return std::string(static_cast<const char*>(data), SizeofResource(module, found));
}

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list) {
    reinterpret_cast<std::vector<ULONG_PTR>*>(list)->push_back(reinterpret_cast<ULONG_PTR>(name));
    return TRUE;
}

// Resource names of `type`; named (non-integer) entries show as 0.
std::vector<ULONG_PTR> ResourceIds(HMODULE module, LPCWSTR type) {
    std::vector<ULONG_PTR> ids;
    EnumResourceNamesW(module, type, CollectName, reinterpret_cast<LONG_PTR>(&ids));
    for (ULONG_PTR& id : ids)
        if (!IS_INTRESOURCE(id))
            id = 0;
    std::sort(ids.begin(), ids.end());
    return ids;
}

BOOL CALLBACK CountLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD, LONG_PTR count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// The local names of the elements in an XML text, prefixes dropped.
std::set<std::string> ElementNames(const std::string& xml) {
    std::set<std::string> names;
    for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
        const char first = at + 1 < xml.size() ? xml[at + 1] : '\0';
        if (first == '?' || first == '!' || first == '/')
            continue;
        const size_t end = xml.find_first_of(" \t\r\n/>", at + 1);
        std::string name = xml.substr(at + 1, end - at - 1);
        const size_t colon = name.find(':');
        if (colon != std::string::npos)
            name = name.substr(colon + 1);
        names.insert(name);
    }
    return names;
}

// ---- Icons -----------------------------------------------------------------

#pragma pack(push, 2)
struct GroupIconHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colours;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD iconId;
};
#pragma pack(pop)

// One image of an icon group as it is stored: its directory entry and what
// the image data itself says.
struct IconImage {
    int entrySize;  // 0 in the directory means 256
    int entryBits;
    int imageWidth;
    int imageHeight;
    int imageBits;
    bool png;
    bool operator==(const IconImage&) const = default;
};

std::uint32_t BigEndian32(const std::string& bytes, size_t at) {
    return (std::uint32_t(std::uint8_t(bytes[at])) << 24) |
           (std::uint32_t(std::uint8_t(bytes[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(bytes[at + 2])) << 8) | std::uint8_t(bytes[at + 3]);
}

// PNG images give their size in IHDR, and RGBA at 8 bits a channel is 32
// bits a pixel; BMP images give theirs in a BITMAPINFOHEADER of twice the
// height (colour and mask).
IconImage DescribeImage(const GroupIconEntry& entry, const std::string& image) {
    IconImage described = {};
    described.entrySize = entry.width == 0 ? 256 : entry.width;
    described.entryBits = entry.bitCount;
    if (image.size() >= 33 && image.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) {
        described.png = true;
        described.imageWidth = static_cast<int>(BigEndian32(image, 16));
        described.imageHeight = static_cast<int>(BigEndian32(image, 20));
        const int depth = std::uint8_t(image[24]);
        const int colourType = std::uint8_t(image[25]);
        described.imageBits = colourType == 6 ? depth * 4 : -colourType;
    } else if (image.size() >= sizeof(BITMAPINFOHEADER)) {
        BITMAPINFOHEADER header;
        std::memcpy(&header, image.data(), sizeof header);
        described.imageWidth = header.biWidth;
        described.imageHeight = header.biHeight / 2;
        described.imageBits = header.biBitCount;
    }
    return described;
}

std::vector<IconImage> IconGroup(HMODULE module, ULONG_PTR groupId) {
    std::vector<IconImage> images;
    const std::string group = ResourceBytes(module, RT_GROUP_ICON, MAKEINTRESOURCEW(groupId));
    if (group.size() < sizeof(GroupIconHeader))
        return images;
    GroupIconHeader header;
    std::memcpy(&header, group.data(), sizeof header);
    if (header.type != 1 || group.size() < sizeof header + header.count * sizeof(GroupIconEntry))
        return images;
    for (WORD i = 0; i < header.count; ++i) {
        GroupIconEntry entry;
        std::memcpy(&entry, group.data() + sizeof header + i * sizeof entry, sizeof entry);
        images.push_back(
            DescribeImage(entry, ResourceBytes(module, RT_ICON, MAKEINTRESOURCEW(entry.iconId))));
    }
    return images;
}

// ---- Imports ---------------------------------------------------------------

// Maps a relative virtual address to its offset in the file; npos when no
// section holds it.
size_t FileOffset(const std::string& file, const IMAGE_NT_HEADERS64& nt, size_t sectionsAt,
                  DWORD rva) {
    for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section;
        const size_t at = sectionsAt + i * sizeof section;
        if (at + sizeof section > file.size())
            break;
        std::memcpy(&section, file.data() + at, sizeof section);
        const DWORD size = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
        if (rva >= section.VirtualAddress && rva < section.VirtualAddress + size)
            return rva - section.VirtualAddress + section.PointerToRawData;
    }
    return std::string::npos;
}

std::string StringAt(const std::string& file, size_t at) {
    if (at >= file.size())
        return std::string();
    return std::string(file.c_str() + at, strnlen(file.c_str() + at, file.size() - at));
}

// The DLL names of the executable's import and delay-import directories,
// parsed from the file; false when the file is not a 64-bit PE image.
bool ImportedDlls(const std::string& file, std::vector<std::string>& dlls) {
    IMAGE_DOS_HEADER dos;
    if (file.size() < sizeof dos)
        return false;
    std::memcpy(&dos, file.data(), sizeof dos);
    IMAGE_NT_HEADERS64 nt;
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
        size_t(dos.e_lfanew) + sizeof nt > file.size())
        return false;
    std::memcpy(&nt, file.data() + dos.e_lfanew, sizeof nt);
    if (nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return false;
    const size_t sectionsAt = dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                              nt.FileHeader.SizeOfOptionalHeader;

    const IMAGE_DATA_DIRECTORY& imports =
        nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress) {
        size_t at = FileOffset(file, nt, sectionsAt, imports.VirtualAddress);
        for (; at != std::string::npos && at + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= file.size();
             at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            IMAGE_IMPORT_DESCRIPTOR descriptor;
            std::memcpy(&descriptor, file.data() + at, sizeof descriptor);
            if (descriptor.Name == 0)
                break;
            dlls.push_back(StringAt(file, FileOffset(file, nt, sectionsAt, descriptor.Name)));
        }
    }
    const IMAGE_DATA_DIRECTORY& delayed =
        nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
    if (delayed.VirtualAddress) {
        size_t at = FileOffset(file, nt, sectionsAt, delayed.VirtualAddress);
        for (; at != std::string::npos && at + sizeof(IMAGE_DELAYLOAD_DESCRIPTOR) <= file.size();
             at += sizeof(IMAGE_DELAYLOAD_DESCRIPTOR)) {
            IMAGE_DELAYLOAD_DESCRIPTOR descriptor;
            std::memcpy(&descriptor, file.data() + at, sizeof descriptor);
            if (descriptor.DllNameRVA == 0)
                break;
            dlls.push_back(StringAt(file, FileOffset(file, nt, sectionsAt, descriptor.DllNameRVA)));
        }
    }
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

// DLLs that the loader takes from the system whatever lies beside the
// executable: known DLLs and API sets. Anything else would be looked for in
// the medium's Installer folder first, before the program's first line runs.
bool IsSystemDll(const std::string& name) {
    static const std::set<std::string> known = {
        "kernel32.dll", "user32.dll", "gdi32.dll",   "shell32.dll",  "ole32.dll", "oleaut32.dll",
        "advapi32.dll", "msvcrt.dll", "shlwapi.dll", "comdlg32.dll", "ntdll.dll"};
    const std::string lower = Lower(name);
    return known.count(lower) != 0 || lower.rfind("api-ms-win-crt-", 0) == 0 ||
           lower.rfind("api-ms-win-core-", 0) == 0;
}

}  // namespace

TEST(InstallerExecutableTest, ManifestAsksAsInvokerWithTheSegmentHeapAndNothingElse) {
    ResourceModule exe;
    ASSERT_NE(exe.module, nullptr) << Narrow(BuiltInstaller());

    // Exactly one manifest, id 1, in one language: nothing the linker added.
    EXPECT_EQ(ResourceIds(exe.module, RT_MANIFEST), std::vector<ULONG_PTR>{1});
    int languages = 0;
    EnumResourceLanguagesW(exe.module, RT_MANIFEST, MAKEINTRESOURCEW(1), CountLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages, 1);

    const std::string manifest = ResourceBytes(exe.module, RT_MANIFEST, MAKEINTRESOURCEW(1));
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find(">SegmentHeap<"), std::string::npos) << manifest;
    for (const char* absent : {"dpiAware", "dependentAssembly", "supportedOS",
                               "requireAdministrator", "highestAvailable"})
        EXPECT_EQ(manifest.find(absent), std::string::npos) << absent << " in\n" << manifest;
    const std::set<std::string> expected = {"assembly",
                                            "trustInfo",
                                            "security",
                                            "requestedPrivileges",
                                            "requestedExecutionLevel",
                                            "application",
                                            "windowsSettings",
                                            "heapType"};
    EXPECT_EQ(ElementNames(manifest), expected) << manifest;
}

TEST(InstallerExecutableTest, CarriesTwoIdenticalIconGroupsOfSeven32BitImages) {
    ResourceModule exe;
    ASSERT_NE(exe.module, nullptr) << Narrow(BuiltInstaller());
    const std::vector<ULONG_PTR> groups = ResourceIds(exe.module, RT_GROUP_ICON);
    ASSERT_EQ(groups.size(), 2u);

    const std::vector<IconImage> first = IconGroup(exe.module, groups[0]);
    ASSERT_EQ(first.size(), 7u);
    const int sizes[] = {16, 24, 32, 48, 64, 128, 256};
    std::vector<int> seenSizes;
    for (const IconImage& image : first) {
        SCOPED_TRACE("image of " + std::to_string(image.entrySize));
        seenSizes.push_back(image.entrySize);
        EXPECT_EQ(image.entryBits, 32);
        EXPECT_EQ(image.imageWidth, image.entrySize);
        EXPECT_EQ(image.imageHeight, image.entrySize);
        EXPECT_EQ(image.imageBits, 32);
    }
    std::sort(seenSizes.begin(), seenSizes.end());
    EXPECT_EQ(seenSizes, std::vector<int>(std::begin(sizes), std::end(sizes)));

    EXPECT_TRUE(IconGroup(exe.module, groups[1]) == first) << "the second group differs";
}

TEST(InstallerExecutableTest, ImportsOnlyDllsThatTheSystemProvides) {
    const std::string file = ReadBytes(BuiltInstaller());
    ASSERT_FALSE(file.empty()) << Narrow(BuiltInstaller());
    std::vector<std::string> dlls;
    ASSERT_TRUE(ImportedDlls(file, dlls)) << "not a 64-bit PE image";
    EXPECT_FALSE(dlls.empty());
    std::string all;
    for (const std::string& dll : dlls)
        all += dll + " ";
    std::printf("  imports: %s\n", all.c_str());
    for (const std::string& dll : dlls)
        EXPECT_TRUE(IsSystemDll(dll)) << dll << " is not a system DLL; imports: " << all;
    // The calls the program is made of come from these.
    for (const char* needed : {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll"})
        EXPECT_NE(Lower(all).find(needed), std::string::npos) << needed;
}

// The version resource as Explorer's properties read it: one Japanese,
// Unicode block with the project's version and our names.
TEST(InstallerExecutableTest, CarriesTheProjectVersionInAJapaneseBlock) {
    const std::wstring path = BuiltInstaller();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource in " << Narrow(path);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT bytes = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translations), &bytes));
    ASSERT_EQ(bytes, sizeof(Translation)) << "one block only";
    EXPECT_EQ(translations->language, 0x0411);
    EXPECT_EQ(translations->codePage, 1200);

    const auto text = [&](const wchar_t* key) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\041104B0\\") + key;
        wchar_t* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value),
                            &length) ||
            !value)
            return std::wstring(L"<missing>");
        return std::wstring(value);
    };
    const std::wstring version = L"" OVIK_EXPECTED_VERSION;
    EXPECT_EQ(text(L"FileVersion"), version);
    EXPECT_EQ(text(L"ProductVersion"), version);
    EXPECT_EQ(text(L"ProductName"), L"OVIK client installer");
    EXPECT_EQ(text(L"OriginalFilename"), L"setup.exe");
    EXPECT_EQ(text(L"FileDescription"), L"OVIKクライアント インストーラー");

    VS_FIXEDFILEINFO* fixed = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &bytes));
    const int major = OVIK_EXPECTED_VERSION_MAJOR;
    const int minor = OVIK_EXPECTED_VERSION_MINOR;
    const int patch = OVIK_EXPECTED_VERSION_PATCH;
    EXPECT_EQ(fixed->dwFileVersionMS, DWORD(MAKELONG(minor, major)));
    EXPECT_EQ(fixed->dwFileVersionLS, DWORD(MAKELONG(0, patch)));
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwFileType, DWORD(VFT_APP));
}
