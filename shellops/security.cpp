// Who may change the install root: the descriptor it is made with, and
// securing a tree that exists already.
#include "shellops/shellops.h"

#include "shellops/handles.h"

#include <sddl.h>

#include <vector>

namespace {

// Rights that let an account change an entry or what a folder holds.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                      FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                      WRITE_DAC | WRITE_OWNER;

// SYSTEM, Administrators and TrustedInstaller may change anything on a
// machine anyway. CREATOR OWNER and OWNER RIGHTS stand for an owner, which
// is checked on its own.
constexpr const wchar_t* kMachineOwners[] = {
    L"S-1-5-18", L"S-1-5-32-544", L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
    L"S-1-3-0",  L"S-1-3-4",
};

std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text))
        return std::wstring();
    const UniqueLocalMemory owner(text);
    return text;
}

bool IsMachineOwnerOr(PSID sid, const std::wstring& userSid) {
    const std::wstring text = SidText(sid);
    if (text.empty())
        return false;
    if (text == userSid)
        return true;
    for (const wchar_t* owner : kMachineOwners) {
        if (text == owner)
            return true;
    }
    return false;
}

// The ACE flags and DACL control of each form; full control is "FA", read
// and execute is FILE_GENERIC_READ | FILE_GENERIC_EXECUTE.
std::wstring InstallSddl(const std::wstring& userSid, InstallSecurityForm form) {
    const wchar_t* control = L"PAI";
    const wchar_t* flags = L"OICI";
    if (form == InstallSecurityForm::kInheritedFolder) {
        control = L"AI";
        flags = L"OICIID";
    } else if (form == InstallSecurityForm::kInheritedFile) {
        control = L"AI";
        flags = L"ID";
    }
    const std::wstring ace = std::wstring(L"(A;") + flags + L";";
    return std::wstring(L"D:") + control + ace + L"FA;;;SY)" + ace + L"FA;;;BA)" + ace + L"FA;;;" +
           userSid + L")" + ace + L"0x1200a9;;;WD)";
}

// Opens an entry itself (a link, not what it points to) to read its
// descriptor, and to write it where this account may.
UniqueHandle OpenEntry(const std::wstring& path, bool toWrite) {
    return MakeUniqueHandle(
        CreateFileW(path.c_str(), READ_CONTROL | (toWrite ? WRITE_DAC : 0),
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Whether the open entry's owner and DACL let only the machine's owners and
// `userSid` change it.
bool HoldsSafe(HANDLE entry, const std::wstring& userSid) {
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    GetKernelObjectSecurity(entry, wanted, nullptr, 0, &needed);
    if (needed == 0)
        return false;
    std::vector<unsigned char> held(needed);
    return GetKernelObjectSecurity(entry, wanted, held.data(), needed, &needed) &&
           OnlyOwnersMayChange(held.data(), userSid);
}

// An entry that others may change gets `descriptor`'s DACL where this
// account may write it (the result is not looked at) and is judged again.
// A safe entry is left as it is, permissions and attributes alike.
bool SecureEntry(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor,
                 SECURITY_INFORMATION protection, const std::wstring& userSid) {
    UniqueHandle entry = OpenEntry(path, true);
    const bool mayWrite = entry != nullptr;
    if (!mayWrite)
        entry = OpenEntry(path, false);
    if (!entry)
        return false;
    if (HoldsSafe(entry.get(), userSid))
        return true;
    if (!mayWrite)
        return false;
    // Wine keeps the DACL and the read-only attribute in the same Unix mode
    // bits; writing the one must not change the other.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    SetKernelObjectSecurity(entry.get(), DACL_SECURITY_INFORMATION | protection, descriptor);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(path.c_str(), attributes);
    return HoldsSafe(entry.get(), userSid);
}

struct TreeForms {
    PSECURITY_DESCRIPTOR folder;
    PSECURITY_DESCRIPTOR file;
};

// Secures everything below `folder`; stops at the first entry that stays
// changeable by others.
bool SecureBelow(const std::wstring& folder, const TreeForms& forms, const std::wstring& userSid) {
    WIN32_FIND_DATAW entry;
    UniqueFind find = MakeUniqueFind(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find)
        return false;
    do {
        const wchar_t* name = entry.cFileName;
        if ((name[0] == L'.' && name[1] == L'\0') ||
            (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0'))
            continue;
        const std::wstring child = folder + L"\\" + name;
        const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool isLink = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (!SecureEntry(child, isFolder ? forms.folder : forms.file,
                         UNPROTECTED_DACL_SECURITY_INFORMATION, userSid))
            return false;
        if (isFolder && !isLink && !SecureBelow(child, forms, userSid))
            return false;
    } while (FindNextFileW(find.get(), &entry));
    return true;
}

}  // namespace

std::wstring GetCurrentUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::wstring();
    const UniqueHandle owner(token);
    DWORD needed = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
    if (needed == 0)
        return std::wstring();
    std::vector<unsigned char> user(needed);
    if (!GetTokenInformation(token, TokenUser, user.data(), needed, &needed))
        return std::wstring();
    return SidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
}

UniqueLocalMemory MakeInstallSecurity(const std::wstring& userSid, InstallSecurityForm form) {
    // Only text that reads back as the very same SID goes into the
    // descriptor's text.
    PSID sid = nullptr;
    if (userSid.empty() || !ConvertStringSidToSidW(userSid.c_str(), &sid))
        return UniqueLocalMemory();
    const UniqueLocalMemory sidOwner(sid);
    const std::wstring canonical = SidText(sid);
    if (canonical != userSid)
        return UniqueLocalMemory();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            InstallSddl(canonical, form).c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return UniqueLocalMemory();
    return UniqueLocalMemory(descriptor);
}

bool OnlyOwnersMayChange(PSECURITY_DESCRIPTOR descriptor, const std::wstring& userSid) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !IsMachineOwnerOr(owner, userSid))
        return false;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl)
        return false;  // no DACL at all lets everybody in
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, index, reinterpret_cast<void**>(&header)))
            return false;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE)
            continue;
        // Every other kind grants; its mask follows the header in all of them.
        ACCESS_MASK rights = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->Mask;
        MapGenericMask(&rights, &mapping);
        if (!(rights & kChangeRights))
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            !IsMachineOwnerOr(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart, userSid))
            return false;
    }
    return true;
}

bool SecureInstallTree(const std::wstring& root, const std::wstring& userSid) {
    // Through a linked root the tree would lie wherever the link points.
    const DWORD attributes = GetFileAttributesW(root.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    const UniqueLocalMemory top = MakeInstallSecurity(userSid, InstallSecurityForm::kTop);
    const UniqueLocalMemory folder =
        MakeInstallSecurity(userSid, InstallSecurityForm::kInheritedFolder);
    const UniqueLocalMemory file =
        MakeInstallSecurity(userSid, InstallSecurityForm::kInheritedFile);
    if (!top || !folder || !file)
        return false;
    return SecureEntry(root, top.get(), PROTECTED_DACL_SECURITY_INFORMATION, userSid) &&
           SecureBelow(root, {folder.get(), file.get()}, userSid);
}
