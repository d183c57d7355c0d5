#include "checkkit/permission_checks.h"

#include "checkkit/driver/descriptor_access.h"
#include "checkkit/driver/files.h"
#include "checkkit/text.h"
#include "checkkit/expected.h"
#include "shellops/shellops.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <memory>

namespace {

// Rights that let an account change a file or a folder, or what it holds.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                      FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                      WRITE_DAC | WRITE_OWNER;

// The accounts that may change anything on a machine anyway.
constexpr const wchar_t* kMachineOwners[] = {
    L"S-1-5-32-544",                                                    // Administrators
    L"S-1-5-18",                                                        // SYSTEM
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
};

std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return L"?";
    const UniqueLocalMemory owner(text);
    return text;
}

std::string AccountName(PSID sid) {
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use))
        return Narrow(SidText(sid));
    return Narrow(domainLength ? std::wstring(domain) + L"\\" + name : std::wstring(name)) + " (" +
           Narrow(SidText(sid)) + ")";
}

std::string RightNames(ACCESS_MASK rights) {
    const std::pair<ACCESS_MASK, const char*> known[] = {
        {FILE_WRITE_DATA, "write data or add files"},
        {FILE_APPEND_DATA, "append data or add folders"},
        {FILE_WRITE_EA, "write extended attributes"},
        {FILE_WRITE_ATTRIBUTES, "write attributes"},
        {FILE_DELETE_CHILD, "delete what it holds"},
        {DELETE, "delete"},
        {WRITE_DAC, "change its permissions"},
        {WRITE_OWNER, "take ownership"}};
    std::string names;
    for (const auto& [bit, name] : known) {
        if (rights & bit)
            names += (names.empty() ? "" : ", ") + std::string(name);
    }
    return names;
}

// Every account but the machine's owners and `installer` (the account that
// ran the installer) that may change `path`, with its rights as the whole
// DACL grants them (deny entries counted), and an owner who is none of them;
// `why` says when the descriptor cannot be read.
std::vector<std::string> Changers(const std::wstring& path, const std::wstring& installer,
                                  std::string& why) {
    PACL dacl = nullptr;
    PSID ownerSid = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = GetNamedSecurityInfoW(
        path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        &ownerSid, nullptr, &dacl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        why = "cannot read the permissions of " + Narrow(path) + " (error " +
              std::to_string(status) + ")";
        return {};
    }
    const UniqueLocalMemory owner(descriptor);
    if (!dacl)
        return {"everybody may change " + Narrow(path) + " (it has no access list at all)"};
    std::vector<std::string> found;
    std::vector<std::wstring> seen = {installer};
    const std::wstring ownerText = ownerSid ? SidText(ownerSid) : L"?";
    if (ownerText != installer && std::find(std::begin(kMachineOwners), std::end(kMachineOwners),
                                            ownerText) == std::end(kMachineOwners))
        found.push_back((ownerSid ? AccountName(ownerSid) : std::string("nobody known")) +
                        " owns " + Narrow(path) + " and so may change its permissions");
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, index, reinterpret_cast<void**>(&header)) ||
            header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart;
        const std::wstring text = SidText(sid);
        if (std::find(std::begin(kMachineOwners), std::end(kMachineOwners), text) !=
                std::end(kMachineOwners) ||
            std::find(seen.begin(), seen.end(), text) != seen.end())
            continue;
        seen.push_back(text);
        TRUSTEE_W trustee = {};
        BuildTrusteeWithSidW(&trustee, sid);
        ACCESS_MASK rights = 0;
        if (GetEffectiveRightsFromAclW(dacl, &trustee, &rights) != ERROR_SUCCESS)
            rights = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->Mask;
        GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                   FILE_ALL_ACCESS};
        MapGenericMask(&rights, &mapping);
        if (rights & kChangeRights)
            found.push_back(AccountName(sid) + " may change " + Narrow(path) + ": " +
                            RightNames(rights & kChangeRights));
    }
    return found;
}

bool SamePath(const std::wstring& one, const std::wstring& other) {
    return CompareStringOrdinal(one.c_str(), -1, other.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Under Wine, which keeps no descriptor on a file, the descriptors the
// install handed to the system, judged with AccessCheck for each account.
void JudgeHandedDescriptors(CheckResult& result, const std::vector<ProbedEvent>& record,
                            bool hasLibrary) {
    const std::wstring root = expected::kInstallRoot;
    const std::wstring scripts = root + expected::kInstallerFolder;
    const std::wstring user = GetCurrentUserSid();
    std::wstring rootSddl, scriptsSddl;
    for (const ProbedEvent& event : record) {
        // A folder that existed already took nothing from the call.
        if (event.kind != kEventSecurity ||
            (event.value == kSecurityAtCreation && !event.succeeded))
            continue;
        const bool isRoot = SamePath(event.file, root), isScripts = SamePath(event.file, scripts);
        if (!isRoot && !isScripts)
            continue;
        // Made with none below the install root, a folder inherits the root's.
        if (isScripts && event.descriptor[0] == L'\0')
            continue;
        if (event.descriptor[0] == L'\0' || event.descriptor[0] == L'?') {
            result.outcome = CheckResult::Outcome::kFailed;
            result.details.push_back(Narrow(event.file) +
                                     (event.descriptor[0] ? " got a descriptor too long to judge"
                                                          : " was made with no descriptor: it "
                                                            "takes the drive root's permissions"));
            continue;
        }
        (isRoot ? rootSddl : scriptsSddl) = event.descriptor;
    }
    if (result.outcome == CheckResult::Outcome::kFailed) {
        result.why = result.details.front();
        return;
    }
    if (rootSddl.empty()) {
        result.outcome = CheckResult::Outcome::kSkipped;
        result.why = "the install handed no descriptor for " + Narrow(root) +
                     ", and Wine keeps no Windows permissions on files to read one back";
        result.details = {result.why};
        return;
    }
    const std::wstring client = InheritedSddl(rootSddl, true, user);
    if (scriptsSddl.empty())
        scriptsSddl = InheritedSddl(rootSddl, true, user);
    struct Entry {
        std::wstring path, sddl, parent;
    };
    std::vector<Entry> entries = {
        {root, rootSddl, L""},
        {root + expected::kClientExecutable, InheritedSddl(rootSddl, false, user), rootSddl},
        {scripts, scriptsSddl, rootSddl}};
    if (hasLibrary)
        entries.insert(entries.begin() + 1, {root + expected::kCaptureLibrary,
                                             InheritedSddl(client, false, user), client});
    result.details.push_back("handed for " + Narrow(root) + ": " + Narrow(rootSddl));
    std::vector<std::string> changers;
    for (const AccountToCheck& account : AccountsToCheck(user)) {
        const bool trusted = account.user == user || account.user == L"S-1-5-18" ||
                             account.groups == std::vector<std::wstring>{L"S-1-5-32-544"};
        std::string row = std::string(account.name) + ":";
        for (const Entry& entry : entries) {
            ACCESS_MASK granted = 0, parentGranted = 0;
            std::string why;
            if (!AccessGranted(entry.sddl, user, account, granted, why) ||
                (!entry.parent.empty() &&
                 !AccessGranted(entry.parent, user, account, parentGranted, why))) {
                result.outcome = CheckResult::Outcome::kSkipped;
                result.why = "cannot judge the descriptor of " + Narrow(entry.path) + ": " + why;
                result.details = {result.why};
                return;
            }
            if (parentGranted & FILE_DELETE_CHILD)
                granted |= DELETE;
            row += " " + Narrow(entry.path) + " [" + RightsText(granted) + "]";
            if (!trusted && (granted & kChangeRights))
                changers.push_back(std::string(account.name) + " may change " + Narrow(entry.path) +
                                   ": " + RightNames(granted & kChangeRights));
        }
        result.details.push_back(row);
    }
    if (changers.empty()) {
        result.why =
            "as the install handed them to the system, judged with AccessCheck: only "
            "the installing account, Administrators and SYSTEM may change " +
            Narrow(root);
        return;
    }
    result.outcome = CheckResult::Outcome::kFailed;
    result.why =
        changers.front() +
        (changers.size() > 1 ? " (and " + std::to_string(changers.size() - 1) + " more)" : "") +
        ": they could replace what runs elevated and what every user loads";
    result.details.insert(result.details.begin(), changers.begin(), changers.end());
}

}  // namespace

CheckResult PermissionsResult(bool hasLibrary, const std::vector<ProbedEvent>& installRecord) {
    CheckResult result;
    result.name = "permissions";
    const std::wstring root = expected::kInstallRoot;
    std::vector<std::wstring> paths = {root, root + expected::kClientExecutable,
                                       root + expected::kInstallerFolder};
    if (hasLibrary)
        paths.insert(paths.begin() + 1, root + expected::kCaptureLibrary);
    if (IsRunningUnderWine()) {
        JudgeHandedDescriptors(result, installRecord, hasLibrary);
        return result;
    }
    const std::wstring installer = GetCurrentUserSid();
    for (const std::wstring& path : paths) {
        std::string why;
        for (std::string& found : Changers(path, installer, why))
            result.details.push_back(std::move(found));
        if (!why.empty()) {
            result.outcome = CheckResult::Outcome::kSkipped;
            result.why = why;
            result.details = {why};
            return result;
        }
    }
    if (result.details.empty()) {
        result.why =
            "only the installing account, Administrators and SYSTEM may change " + Narrow(root);
        return result;
    }
    result.outcome = CheckResult::Outcome::kFailed;
    result.why =
        result.details.front() +
        (result.details.size() > 1 ? " (and " + std::to_string(result.details.size() - 1) + " more)"
                                   : "") +
        ": they could replace what runs elevated and what every user loads";
    return result;
}
