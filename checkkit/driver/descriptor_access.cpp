#include "checkkit/driver/descriptor_access.h"

#include "shellops/handles.h"

#include <sddl.h>

#include <algorithm>
#include <memory>

namespace {

// Owner, group and DACL of `sddl` as its three parts; the DACL part starts
// with its control flags.
struct SddlParts {
    std::wstring owner, group, dacl;
};

SddlParts Split(const std::wstring& sddl) {
    SddlParts parts;
    std::wstring* current = nullptr;
    for (size_t at = 0; at < sddl.size(); ++at) {
        if (at + 1 < sddl.size() && sddl[at + 1] == L':' &&
            (current == nullptr || current != &parts.dacl)) {
            const wchar_t key = sddl[at];
            current = key == L'O' ? &parts.owner : key == L'G' ? &parts.group : &parts.dacl;
            ++at;
            continue;
        }
        if (current)
            *current += sddl[at];
    }
    return parts;
}

std::vector<std::wstring> Aces(const std::wstring& dacl, std::wstring& control) {
    std::vector<std::wstring> aces;
    const size_t first = dacl.find(L'(');
    control = dacl.substr(0, first);
    for (size_t at = first; at != std::wstring::npos && at < dacl.size();) {
        const size_t end = dacl.find(L')', at);
        if (end == std::wstring::npos)
            break;
        aces.push_back(dacl.substr(at + 1, end - at - 1));
        at = dacl.find(L'(', end);
    }
    return aces;
}

std::vector<std::wstring> Fields(const std::wstring& ace) {
    std::vector<std::wstring> fields(1);
    for (wchar_t c : ace) {
        if (c == L';')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

// The form in which SDDL writes `sid` (an alias such as "SY" where it has one).
std::wstring SddlSid(const std::wstring& sid) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            (L"O:" + sid).c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return sid;
    const UniqueLocalMemory owner(descriptor);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION, &text, nullptr))
        return sid;
    const UniqueLocalMemory textOwner(text);
    return std::wstring(text).substr(2);
}

std::wstring Canonical(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return std::wstring();
    const UniqueLocalMemory owner(descriptor);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1,
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &text, nullptr))
        return std::wstring();
    const UniqueLocalMemory textOwner(text);
    return text;
}

std::wstring Swapped(const std::wstring& sid, const std::wstring& one, const std::wstring& other) {
    return sid == one ? other : sid == other ? one : sid;
}

std::wstring Join(const SddlParts& parts, const std::wstring& control,
                  const std::vector<std::vector<std::wstring>>& aces) {
    std::wstring sddl = L"O:" + parts.owner + L"G:" + parts.group + L"D:" + control;
    for (const auto& fields : aces) {
        sddl += L"(";
        for (size_t i = 0; i < fields.size(); ++i)
            sddl += (i ? L";" : L"") + fields[i];
        sddl += L")";
    }
    return sddl;
}

std::wstring ProcessUser() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::wstring();
    const UniqueHandle owner(token);
    unsigned char buffer[512];
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
        return std::wstring();
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
        return std::wstring();
    const UniqueLocalMemory textOwner(text);
    return text;
}

}  // namespace

std::vector<AccountToCheck> AccountsToCheck(const std::wstring& installingUser) {
    const std::wstring nobody = L"S-1-5-21-7-7-7-7777";  // a group's rights alone
    const std::wstring everyone = L"S-1-1-0", authenticated = L"S-1-5-11", users = L"S-1-5-32-545",
                       interactive = L"S-1-5-4", administrators = L"S-1-5-32-544";
    return {
        {"Everyone", nobody, {everyone}},
        // Every token that holds one of these groups holds Everyone too.
        {"Authenticated Users", nobody, {everyone, authenticated}},
        {"Users", nobody, {everyone, users}},
        {"Interactive", nobody, {everyone, interactive}},
        {"second local account",
         L"S-1-5-21-7-7-7-1001",
         {everyone, authenticated, users, interactive}},
        {"installing account", installingUser, {everyone, authenticated, users, interactive}},
        {"Administrators", nobody, {administrators}},
        {"SYSTEM", L"S-1-5-18", {everyone, authenticated, administrators}},
    };
}

bool AccessGranted(const std::wstring& sddl, const std::wstring& creator,
                   const AccountToCheck& account, ACCESS_MASK& granted, std::string& why) {
    granted = 0;
    const std::wstring self = ProcessUser();
    const std::wstring canonical = Canonical(sddl);
    if (self.empty() || canonical.empty()) {
        why = "the descriptor cannot be read";
        return false;
    }
    SddlParts parts = Split(canonical);
    if (parts.owner.empty())
        parts.owner = SddlSid(creator);
    if (parts.group.empty())
        parts.group = L"SY";
    const std::wstring one = SddlSid(account.user), other = SddlSid(self);
    parts.owner = Swapped(parts.owner, one, other);
    parts.group = Swapped(parts.group, one, other);
    std::wstring control;
    std::vector<std::vector<std::wstring>> aces;
    for (const std::wstring& ace : Aces(parts.dacl, control)) {
        aces.push_back(Fields(ace));
        if (aces.back().size() >= 6)
            aces.back()[5] = Swapped(aces.back()[5], one, other);
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            Join(parts, control, aces).c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        why = "the renamed descriptor cannot be built";
        return false;
    }
    const UniqueLocalMemory descriptorOwner(descriptor);

    HANDLE process = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &process)) {
        why = "the process token cannot be opened";
        return false;
    }
    const UniqueHandle processOwner(process);
    DWORD size = 0;
    GetTokenInformation(process, TokenGroups, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size ? size : 1);
    if (!GetTokenInformation(process, TokenGroups, buffer.data(), size, &size)) {
        why = "the token's groups cannot be read";
        return false;
    }
    const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    std::vector<SID_AND_ATTRIBUTES> disabled;
    std::vector<std::wstring> kept;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        LPWSTR text = nullptr;
        if (!ConvertSidToStringSidW(groups->Groups[i].Sid, &text))
            continue;
        const UniqueLocalMemory textOwner(text);
        if (std::find(account.groups.begin(), account.groups.end(), text) != account.groups.end())
            kept.push_back(text);
        else
            disabled.push_back({groups->Groups[i].Sid, 0});
    }
    for (const std::wstring& group : account.groups) {
        if (std::find(kept.begin(), kept.end(), group) == kept.end()) {
            why = "this process's token has no group " + std::string(group.begin(), group.end());
            return false;
        }
    }
    HANDLE restricted = nullptr;
    if (!CreateRestrictedToken(process, 0, static_cast<DWORD>(disabled.size()), disabled.data(), 0,
                               nullptr, 0, nullptr, &restricted)) {
        why = "no restricted token";
        return false;
    }
    const UniqueHandle restrictedOwner(restricted);
    HANDLE impersonation = nullptr;
    if (!DuplicateToken(restricted, SecurityImpersonation, &impersonation)) {
        why = "no impersonation token";
        return false;
    }
    const UniqueHandle impersonationOwner(impersonation);
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    unsigned char privileges[256];
    DWORD privilegesSize = sizeof privileges;
    BOOL status = FALSE;
    if (!AccessCheck(descriptor, impersonation, MAXIMUM_ALLOWED, &mapping,
                     reinterpret_cast<PPRIVILEGE_SET>(privileges), &privilegesSize, &granted,
                     &status)) {
        why = "AccessCheck failed (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (!status)
        granted = 0;
    return true;
}

std::wstring InheritedSddl(const std::wstring& parentSddl, bool isFolder,
                           const std::wstring& creator) {
    const SddlParts parent = Split(Canonical(parentSddl));
    std::wstring control;
    std::vector<std::vector<std::wstring>> inherited;
    for (const std::wstring& ace : Aces(parent.dacl, control)) {
        std::vector<std::wstring> fields = Fields(ace);
        if (fields.size() < 6)
            continue;
        const std::wstring flags = fields[1];
        const auto has = [&flags](const wchar_t* flag) {
            for (size_t at = 0; at + 1 < flags.size(); at += 2) {
                if (flags.compare(at, 2, flag) == 0)
                    return true;
            }
            return false;
        };
        const bool objects = has(L"OI"), containers = has(L"CI"), noPropagate = has(L"NP");
        std::wstring childFlags;
        if (isFolder) {
            if (containers)
                childFlags = noPropagate ? L"" : (objects ? L"OICI" : L"CI");
            else if (objects && !noPropagate)
                childFlags = L"OIIO";
            else
                continue;
        } else if (!objects) {
            continue;
        }
        fields[1] = childFlags + L"ID";
        // CREATOR OWNER stands for whoever makes the entry.
        if (fields[5] == L"CO")
            fields[5] = SddlSid(creator);
        inherited.push_back(fields);
    }
    SddlParts child;
    child.owner = SddlSid(creator);
    child.group = L"SY";
    return Canonical(Join(child, L"AI", inherited));
}

std::string RightsText(ACCESS_MASK granted) {
    const ACCESS_MASK read = FILE_GENERIC_READ & ~SYNCHRONIZE;
    const ACCESS_MASK write = FILE_WRITE_DATA | FILE_APPEND_DATA;
    const std::pair<bool, const char*> rights[] = {{(granted & read) == read, "read"},
                                                   {(granted & write) != 0, "write"},
                                                   {(granted & DELETE) != 0, "delete"},
                                                   {(granted & WRITE_DAC) != 0, "permissions"},
                                                   {(granted & WRITE_OWNER) != 0, "owner"}};
    std::string text;
    for (const auto& [allowed, name] : rights)
        text += std::string(text.empty() ? "" : " ") + (allowed ? name : "-");
    return text;
}
