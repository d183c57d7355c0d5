// What AccessCheck grants an account on a security descriptor, evaluated in
// this process. Under Wine every token has the same user, and Wine makes no
// token for another account, SYSTEM or with restricting SIDs; it does keep
// groups that CreateRestrictedToken turns deny-only. So the account's SID and
// this process's user SID are swapped in a copy of the descriptor (a one-to-one
// renaming, which AccessCheck cannot tell from a token of that account), and
// every group the account is not in is made deny-only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct AccountToCheck {
    const char* name;
    std::wstring user;                 // SID text; a SID nobody has for a group alone
    std::vector<std::wstring> groups;  // SID texts, each one this process's token holds
};

// The accounts the install root is judged for: Everyone alone; Authenticated
// Users, Users and Interactive each with Everyone; a second local account (a
// standard user), `installingUser` as a standard user, Administrators and
// SYSTEM.
std::vector<AccountToCheck> AccountsToCheck(const std::wstring& installingUser);

// The rights AccessCheck grants `account` on `sddl` (MAXIMUM_ALLOWED, file
// mapping). A descriptor without owner gets `creator` as owner, as the
// system gives it at creation. False, with `why`, when it cannot be judged.
bool AccessGranted(const std::wstring& sddl, const std::wstring& creator,
                   const AccountToCheck& account, ACCESS_MASK& granted, std::string& why);

// The DACL a new file or folder gets below a folder with `parentSddl`, by
// the platform's inheritance rules, with `creator` as owner.
std::wstring InheritedSddl(const std::wstring& parentSddl, bool isFolder,
                           const std::wstring& creator);

// "read write delete permissions owner" as far as `granted` allows each.
std::string RightsText(ACCESS_MASK granted);
