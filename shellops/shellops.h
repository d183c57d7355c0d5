// File-system and shell operations of the installer: the fixed install
// layout, location queries, tree copy and removal, the registration scripts
// with their elevated launch, and the desktop shortcut.
//
// Paths are plain wide strings without a trailing separator. A path below
// another is formed by concatenation with a layout constant that already
// begins with a backslash. Nothing here normalises a path it hands on.
#pragma once

#include "shellops/handles.h"

#include <windows.h>

#include <string>

// ---- Install layout ------------------------------------------------------

// "C:\ovikProgram". Never modified; each workflow copies it before forming
// any path below it.
extern const std::wstring kInstallRoot;

// Fixed sub-paths, each appended to the base named in its comment.
inline constexpr wchar_t kScriptsFolder[] = L"\\Installer";                      // install root
inline constexpr wchar_t kCaptureLibrary[] = L"\\ovikClient\\ScreenCapture.ax";  // install root
inline constexpr wchar_t kRegisterScript[] = L"\\ScreenCapture_reg.bat";         // scripts folder
inline constexpr wchar_t kUnregisterScript[] = L"\\ScreenCapture_del.bat";       // scripts folder
inline constexpr wchar_t kClientExecutable[] = L"\\startClass.exe";              // install root
inline constexpr wchar_t kClientIcon[] = L"\\ovikClient\\ovikclient.ico";        // install root
inline constexpr wchar_t kShortcutFile[] = L"\\OVIKクライアント.lnk";            // desktop folder

// ---- Locations -------------------------------------------------------------

// Folder of the running executable, without a trailing separator; empty if
// the module path cannot be read or is longer than MAX_PATH - 1 characters
// (the platform would hand back a truncated path, whose parent is a folder
// that does not hold the executable).
std::wstring GetExecutableDirectory();

// The part of `path` before its last '\' or '/'; `path` itself when it holds
// no separator ("E:" stays "E:", "" stays "").
std::wstring GetParentPath(const std::wstring& path);

// The current user's desktop folder (created when missing); empty when
// neither the known-folder nor the CSIDL query yields one.
std::wstring GetDesktopFolder();

// The Windows system folder (for example C:\Windows\system32); empty on
// failure. Programs that run elevated are started from here by full path.
std::wstring GetSystemFolder();

// ---- Tree copy and removal -------------------------------------------------

// Copies everything below `source` into `destination`, creating
// `destination` and its missing parents. Existing files are overwritten;
// files only at the destination stay. Never stops at a failed step: true only
// when the destination could be made, every folder enumerated and every file
// copied. Refuses (false, nothing created) an empty source and a destination
// that is the source or lies inside it. A linked folder (junction, symbolic
// link) is copied through as a plain folder unless its target holds the
// folder being copied or overlaps the destination; such a link is not
// followed and counts as a failed step, so a link cycle cannot make the copy
// run away. Paths are passed to the platform as they are, so entries past the
// platform's path limit fail and make the result false. `security`, when
// given, is what `destination` is made with if it is missing; what the copy
// makes below it inherits from it.
bool CopyDirectoryTree(const std::wstring& source, const std::wstring& destination,
                       const SECURITY_ATTRIBUTES* security = nullptr);

// Deletes `path` with everything below it, resetting each file's attributes
// to FILE_ATTRIBUTE_NORMAL first so read-only, hidden and system files go
// too. Never descends into a reparse point: a linked folder is removed as a
// link and what it points to is left alone; if `path` itself is a link, only
// the link is removed. True only when `path` itself is gone at the end;
// whatever resists deletion stays, silently.
bool RemoveDirectoryTree(const std::wstring& path);

// ---- Who may change the install root ---------------------------------------

// The account that runs this process, as SID text ("S-1-5-21-..."), read from
// the process token; empty when the token cannot be read.
std::wstring GetCurrentUserSid();

// How a descriptor of MakeInstallSecurity is applied.
enum class InstallSecurityForm {
    kTop,              // the install root or a folder made in it: protected, inherited below
    kInheritedFolder,  // what a folder below a kTop folder inherits
    kInheritedFile,    // what a file below a kTop folder inherits
};

// A self-relative descriptor whose DACL gives SYSTEM, Administrators and
// `userSid` full control and everyone else read and execute, for all below.
// Null when `userSid` is no valid SID.
UniqueLocalMemory MakeInstallSecurity(const std::wstring& userSid, InstallSecurityForm form);

// True when `descriptor` has an owner and a DACL, its owner is SYSTEM,
// Administrators, TrustedInstaller or `userSid`, and no entry of the DACL
// (those meant only for what is made below included) allows anybody else to
// write, delete, or change permissions or owner. Deny entries are not
// counted, so a descriptor that relies on one counts as changeable.
bool OnlyOwnersMayChange(PSECURITY_DESCRIPTOR descriptor, const std::wstring& userSid);

// Gives each entry of the existing folder `root` that others may change the
// kTop DACL for `userSid` (the root) or the inherited one (everything below),
// where this account may, and reads its owner and DACL back; safe entries are
// left as they are. Linked folders are secured as links, never
// entered. True only when every entry passes OnlyOwnersMayChange; false for a
// linked root, a folder that cannot be listed, and an entry another account
// owns (its owner could open it to others again).
bool SecureInstallTree(const std::wstring& root, const std::wstring& userSid);

// ---- Registration scripts and elevated launch ------------------------------

// The one-line scripts that register and unregister `libraryPath` with
// regsvr32, each ending in CR LF.
std::wstring ComposeRegisterScript(const std::wstring& libraryPath);
std::wstring ComposeUnregisterScript(const std::wstring& libraryPath);

// Creates or replaces `path` with `text` in the ANSI code page (no BOM, no
// NUL). True when the whole converted text was written; a short write leaves
// the partial file. False, touching nothing, when the text cannot be
// converted; false when the file cannot be created.
bool WriteAnsiTextFile(const std::wstring& path, const std::wstring& text);

// Opens `path` for reading while denying other writers and deleters, so the
// file cannot be changed or replaced while the handle lives; readers (the
// command interpreter running a script) are still let in. Null on failure.
HANDLE OpenForReadDenyWrite(const std::wstring& path);

// True when the open `file` holds exactly `text` in the ANSI code page, as
// WriteAnsiTextFile writes it. Reads from the start of the file.
bool FileHoldsAnsiText(HANDLE file, const std::wstring& text);

// Starts `file` elevated (verb "runas") and hidden, with `parameters` (none
// when empty), and waits at most `waitLimitMs` from the moment the launch
// returns, with the system folder as its working folder (never the caller's,
// where planted programs may lie). Reports nothing: a declined prompt, a
// failed launch and a time-out all just return. A process still running
// after the limit keeps running.
void RunElevatedAndWait(const std::wstring& file, const std::wstring& parameters,
                        DWORD waitLimitMs);

// ---- Desktop shortcut ------------------------------------------------------

// Saves a shell link at `linkPath` to `targetPath`, with the target's parent
// as working folder when the target holds a separator, and `iconPath`
// (index 0) as icon when that file exists. True when the link file was
// saved; an earlier failure leaves no file. Brings COM up and down itself.
bool CreateShortcut(const std::wstring& linkPath, const std::wstring& targetPath,
                    const std::wstring& iconPath);
