// A hook library that the end-to-end test puts on the installer's UI thread.
// It answers questions that only code inside the installer's process can
// answer (GDI and icon handles belong to their process): which font each
// control uses, how large each control's text comes out in that font, the
// window's DPI and layout, the window's class, which system icon a message
// box shows, and whom the process runs as. Asked to, it also records what the
// installer hands to the platform (its message boxes, launches, waits and
// pauses) by taking the place of those functions in the installer's import
// table; each call still goes to the platform unchanged. It reacts to no
// other message.
#include "checkkit/driver/probe_protocol.h"

#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>
#include <vector>

namespace {

UINT ProbeMessage() {
    static const UINT message = RegisterWindowMessageW(kProbeMessageName);
    return message;
}

void Reply(HWND replyTo, HWND from, LPARAM query, const void* data, DWORD size) {
    COPYDATASTRUCT copy = {};
    copy.dwData = static_cast<ULONG_PTR>(query);
    copy.cbData = size;
    copy.lpData = const_cast<void*>(data);
    SendMessageW(replyTo, WM_COPYDATA, reinterpret_cast<WPARAM>(from),
                 reinterpret_cast<LPARAM>(&copy));
}

void ReplyControlFonts(HWND window, HWND replyTo) {
    std::vector<ProbedFont> fonts;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        ProbedFont probed = {};
        const HFONT font = reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0));
        probed.font = reinterpret_cast<std::uint64_t>(font);
        probed.described =
            font && GetObjectW(font, sizeof probed.logFont, &probed.logFont) == sizeof(LOGFONTW);
        fonts.push_back(probed);
    }
    Reply(replyTo, window, kProbeControlFonts, fonts.data(),
          static_cast<DWORD>(fonts.size() * sizeof(ProbedFont)));
}

// Measures as the controls draw: a left-aligned static wraps its text with
// DT_WORDBREAK | DT_EXPANDTABS; a push button without BS_MULTILINE draws
// one line.
void ReplyTextSizes(HWND window, HWND replyTo) {
    std::vector<ProbedTextSize> sizes;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        ProbedTextSize probed = {};
        const HFONT font = reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0));
        probed.hasFont = font != nullptr;
        RECT client = {};
        GetClientRect(child, &client);
        probed.clientWidth = client.right;
        probed.clientHeight = client.bottom;

        std::vector<wchar_t> text(GetWindowTextLengthW(child) + 1);
        const int length = GetWindowTextW(child, text.data(), static_cast<int>(text.size()));
        const HDC dc = GetDC(child);
        const HGDIOBJ previous = font ? SelectObject(dc, font) : nullptr;
        RECT wrapped = {0, 0, client.right, 0};
        DrawTextW(dc, text.data(), length, &wrapped, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
        RECT line = {};
        DrawTextW(dc, text.data(), length, &line, DT_CALCRECT | DT_SINGLELINE);
        if (previous)
            SelectObject(dc, previous);
        ReleaseDC(child, dc);
        probed.wrappedHeight = wrapped.bottom - wrapped.top;
        probed.lineWidth = line.right - line.left;
        probed.buttonMargins =
            2 * (GetSystemMetrics(SM_CXEDGE) + GetSystemMetrics(SM_CXFOCUSBORDER));
        sizes.push_back(probed);
    }
    Reply(replyTo, window, kProbeTextSizes, sizes.data(),
          static_cast<DWORD>(sizes.size() * sizeof(ProbedTextSize)));
}

void ReplyLayout(HWND window, HWND replyTo) {
    ProbedLayout layout = {};
    const HDC dc = GetDC(window);
    layout.dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(window, dc);
    RECT client = {};
    GetClientRect(window, &client);
    layout.clientWidth = client.right;
    layout.clientHeight = client.bottom;
    std::vector<unsigned char> reply(sizeof layout);
    std::memcpy(reply.data(), &layout, sizeof layout);
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT box = {};
        GetWindowRect(child, &box);
        MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&box), 2);
        const size_t at = reply.size();
        reply.resize(at + sizeof box);
        std::memcpy(reply.data() + at, &box, sizeof box);
    }
    Reply(replyTo, window, kProbeLayout, reply.data(), static_cast<DWORD>(reply.size()));
}

// The box's icon is the one static control of type SS_ICON; the system
// icons are shared, so LoadIconW hands back the very handle that the box got.
void ReplyBoxIcon(HWND box, HWND replyTo) {
    ProbedIcon probed = {};
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
            continue;
        const HICON icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
        const struct {
            LPCWSTR resource;
            UINT kind;
        } kinds[] = {{IDI_QUESTION, MB_ICONQUESTION},
                     {IDI_HAND, MB_ICONERROR},
                     {IDI_EXCLAMATION, MB_ICONWARNING},
                     {IDI_ASTERISK, MB_ICONINFORMATION}};
        for (const auto& kind : kinds) {
            if (icon && icon == LoadIconW(nullptr, kind.resource))
                probed.kind = kind.kind;
        }
    }
    Reply(replyTo, box, kProbeBoxIcon, &probed, sizeof probed);
}

// ---- The window and its class ----------------------------------------------------------

// The icon's colour and mask bits as 32-bit rows; empty when it has none.
std::vector<unsigned char> IconBits(HICON icon) {
    std::vector<unsigned char> bits;
    ICONINFO info = {};
    if (!icon || !GetIconInfo(icon, &info))
        return bits;
    const HDC dc = GetDC(nullptr);
    for (const HBITMAP bitmap : {info.hbmColor, info.hbmMask}) {
        BITMAP shape = {};
        if (!bitmap || !GetObjectW(bitmap, sizeof shape, &shape))
            continue;
        BITMAPINFO format = {};
        format.bmiHeader.biSize = sizeof format.bmiHeader;
        format.bmiHeader.biWidth = shape.bmWidth;
        format.bmiHeader.biHeight = shape.bmHeight;
        format.bmiHeader.biPlanes = 1;
        format.bmiHeader.biBitCount = 32;
        format.bmiHeader.biCompression = BI_RGB;
        const size_t at = bits.size();
        bits.resize(at + static_cast<size_t>(shape.bmWidth) * shape.bmHeight * 4);
        GetDIBits(dc, bitmap, 0, static_cast<UINT>(shape.bmHeight), bits.data() + at, &format,
                  DIB_RGB_COLORS);
    }
    ReleaseDC(nullptr, dc);
    if (info.hbmColor)
        DeleteObject(info.hbmColor);
    if (info.hbmMask)
        DeleteObject(info.hbmMask);
    return bits;
}

// Which of shell32.dll's icons, extracted as the installer does, show the
// class icon's image: one bit for each.
std::uint64_t ShellIconMatches(HICON classIcon) {
    const std::vector<unsigned char> wanted = IconBits(classIcon);
    std::uint64_t matches = 0;
    for (int index = 0; !wanted.empty() && index < kShellIconsCompared; ++index) {
        HICON icon = nullptr;
        if (ExtractIconExW(L"shell32.dll", index, &icon, nullptr, 1) != 1 || !icon)
            break;
        if (IconBits(icon) == wanted)
            matches |= std::uint64_t{1} << index;
        DestroyIcon(icon);
    }
    return matches;
}

void ReplyWindow(HWND window, HWND replyTo) {
    ProbedWindow probed = {};
    wchar_t className[256] = {};
    GetClassNameW(window, className, 256);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    const HINSTANCE instance =
        reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE));
    probed.classFound = GetClassInfoExW(instance, className, &windowClass) != 0;
    if (probed.classFound) {
        probed.classStyle = windowClass.style;
        probed.classExtra = windowClass.cbClsExtra;
        probed.windowExtra = windowClass.cbWndExtra;
        probed.hasMenuName = windowClass.lpszMenuName != nullptr;
        probed.hasIcon = windowClass.hIcon != nullptr;
        probed.shellIconMatches = ShellIconMatches(windowClass.hIcon);
        probed.smallIconIsLarge = windowClass.hIconSm == windowClass.hIcon;
        probed.cursorIsArrow = windowClass.hCursor == LoadCursorW(nullptr, IDC_ARROW);
        probed.background = reinterpret_cast<std::uint64_t>(windowClass.hbrBackground);
    }
    probed.style = static_cast<std::uint32_t>(GetWindowLongW(window, GWL_STYLE));
    probed.exStyle = static_cast<std::uint32_t>(GetWindowLongW(window, GWL_EXSTYLE));
    probed.hasParent = GetParent(window) != nullptr || GetWindow(window, GW_OWNER) != nullptr;
    probed.hasMenu = GetMenu(window) != nullptr;
    GetWindowRect(window, &probed.window);
    GetClientRect(window, &probed.client);
    AdjustWindowRectEx(&probed.frame, probed.style, FALSE, probed.exStyle);
    probed.screenWidth = GetSystemMetrics(SM_CXSCREEN);
    probed.screenHeight = GetSystemMetrics(SM_CYSCREEN);
    Reply(replyTo, window, kProbeWindow, &probed, sizeof probed);
}

// ---- The record of calls ----------------------------------------------------------------

std::vector<ProbedEvent>& Record() {
    static std::vector<ProbedEvent> record;
    return record;
}
std::vector<HANDLE>& LaunchedProcesses() {  // by launch event index; null for other events
    static std::vector<HANDLE> processes;
    return processes;
}

void CopyText(wchar_t* to, size_t size, const wchar_t* text) {
    if (text)
        wcsncpy(to, text, size - 1);
}

using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
using ShellExecuteExFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
using WaitFunction = DWORD(WINAPI*)(HANDLE, DWORD);
using SleepFunction = void(WINAPI*)(DWORD);
using CoInitializeFunction = HRESULT(WINAPI*)(LPVOID);
using CoUninitializeFunction = void(WINAPI*)();
using CreateFolderFunction = int(WINAPI*)(HWND, LPCWSTR, const SECURITY_ATTRIBUTES*);
using SetSecurityFunction = BOOL(WINAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);
CreateFolderFunction gCreateFolder = nullptr;
SetSecurityFunction gSetSecurity = nullptr;
MessageBoxFunction gMessageBox = nullptr;
ShellExecuteExFunction gShellExecuteEx = nullptr;
WaitFunction gWait = nullptr;
SleepFunction gSleep = nullptr;
CoInitializeFunction gCoInitialize = nullptr;
CoUninitializeFunction gCoUninitialize = nullptr;

ProbedEvent& NewEvent(ProbedEventKind kind) {
    ProbedEvent event = {};
    event.kind = kind;
    event.ofLaunch = -1;
    Record().push_back(event);
    LaunchedProcesses().push_back(nullptr);
    return Record().back();
}

int WINAPI RecordedMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    ProbedEvent& event = NewEvent(kEventMessageBox);
    event.value = type;
    event.window = reinterpret_cast<std::uint64_t>(owner);
    CopyText(event.caption, std::size(event.caption), caption);
    return gMessageBox(owner, text, caption, type);
}

BOOL WINAPI RecordedShellExecuteEx(SHELLEXECUTEINFOW* request) {
    ProbedEvent& event = NewEvent(kEventLaunch);
    event.cbSize = request->cbSize;
    event.mask = request->fMask;
    event.window = reinterpret_cast<std::uint64_t>(request->hwnd);
    event.show = request->nShow;
    event.nullFields = (request->lpVerb ? 0 : kNullVerb) | (request->lpFile ? 0 : kNullFile) |
                       (request->lpParameters ? 0 : kNullParameters) |
                       (request->lpDirectory ? 0 : kNullDirectory);
    CopyText(event.verb, std::size(event.verb), request->lpVerb);
    CopyText(event.file, std::size(event.file), request->lpFile);
    CopyText(event.parameters, std::size(event.parameters), request->lpParameters);
    CopyText(event.directory, std::size(event.directory), request->lpDirectory);
    const size_t index = Record().size() - 1;
    const BOOL succeeded = gShellExecuteEx(request);
    // The vector may have grown meanwhile (a box of the shell's own).
    Record()[index].succeeded = succeeded != FALSE;
    Record()[index].gotProcess = succeeded && request->hProcess;
    if (succeeded)
        LaunchedProcesses()[index] = request->hProcess;
    return succeeded;
}

DWORD WINAPI RecordedWait(HANDLE handle, DWORD limitMs) {
    const std::vector<HANDLE>& processes = LaunchedProcesses();
    for (size_t i = 0; handle && i < processes.size(); ++i) {
        if (processes[i] != handle)
            continue;
        ProbedEvent& event = NewEvent(kEventWait);
        event.value = limitMs;
        event.ofLaunch = static_cast<std::int32_t>(i);
        break;
    }
    return gWait(handle, limitMs);
}

void WINAPI RecordedSleep(DWORD lengthMs) {
    NewEvent(kEventPause).value = lengthMs;
    gSleep(lengthMs);
}

HRESULT WINAPI RecordedCoInitialize(LPVOID reserved) {
    const HRESULT result = gCoInitialize(reserved);
    NewEvent(kEventComInit).value = static_cast<std::uint32_t>(result);
    return result;
}

void WINAPI RecordedCoUninitialize() {
    NewEvent(kEventComUninit);
    gCoUninitialize();
}

void CopyDescriptor(ProbedEvent& event, PSECURITY_DESCRIPTOR descriptor) {
    LPWSTR text = nullptr;
    if (!descriptor ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1,
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &text, nullptr))
        return;
    // Too long to carry whole: marked, so that it is judged as unreadable.
    if (wcslen(text) >= std::size(event.descriptor))
        CopyText(event.descriptor, std::size(event.descriptor), L"?too long");
    else
        CopyText(event.descriptor, std::size(event.descriptor), text);
    LocalFree(text);
}

int WINAPI RecordedCreateFolder(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES* security) {
    ProbedEvent& event = NewEvent(kEventSecurity);
    event.value = kSecurityAtCreation;
    CopyText(event.file, std::size(event.file), path);
    if (security)
        CopyDescriptor(event, security->lpSecurityDescriptor);
    const size_t index = Record().size() - 1;
    const int result = gCreateFolder(window, path, security);
    // Only a call that made the folder gave it the descriptor.
    Record()[index].succeeded = result == ERROR_SUCCESS;
    return result;
}

BOOL WINAPI RecordedSetSecurity(HANDLE entry, SECURITY_INFORMATION what,
                                PSECURITY_DESCRIPTOR descriptor) {
    ProbedEvent& event = NewEvent(kEventSecurity);
    event.value = kSecurityOnEntry;
    event.mask = what;
    wchar_t path[MAX_PATH] = {};
    if (GetFinalPathNameByHandleW(entry, path, MAX_PATH, FILE_NAME_NORMALIZED) < MAX_PATH)
        CopyText(event.file, std::size(event.file),
                 wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path);
    CopyDescriptor(event, descriptor);
    return gSetSecurity(entry, what, descriptor);
}

// Points the installer's import of `function` from `library` at `replacement`
// and returns what it pointed at; null when the installer does not import it.
void* Redirect(const char* library, const char* function, void* replacement) {
    const auto base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
    const auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress)
        return nullptr;
    for (auto descriptor =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         descriptor->Name; ++descriptor) {
        if (_stricmp(reinterpret_cast<const char*>(base + descriptor->Name), library) != 0 ||
            !descriptor->OriginalFirstThunk)
            continue;
        auto names =
            reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        auto slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto named =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(named->Name), function) != 0)
                continue;
            void* const previous = reinterpret_cast<void*>(slots->u1.Function);
            DWORD protection = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                                &protection))
                return nullptr;
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return previous;
        }
    }
    return nullptr;
}

// Once per process: the library stays loaded from here on, since the
// installer's imports point into it, and the imports are redirected.
bool StartRecord() {
    static bool redirected = false;
    if (!redirected) {
        HMODULE self = nullptr;
        if (!GetModuleHandleExW(
                GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&StartRecord)), &self))
            return false;
        gMessageBox = reinterpret_cast<MessageBoxFunction>(
            Redirect("user32.dll", "MessageBoxW", reinterpret_cast<void*>(&RecordedMessageBox)));
        gShellExecuteEx = reinterpret_cast<ShellExecuteExFunction>(Redirect(
            "shell32.dll", "ShellExecuteExW", reinterpret_cast<void*>(&RecordedShellExecuteEx)));
        gWait = reinterpret_cast<WaitFunction>(Redirect("kernel32.dll", "WaitForSingleObject",
                                                        reinterpret_cast<void*>(&RecordedWait)));
        gSleep = reinterpret_cast<SleepFunction>(
            Redirect("kernel32.dll", "Sleep", reinterpret_cast<void*>(&RecordedSleep)));
        gCoInitialize = reinterpret_cast<CoInitializeFunction>(
            Redirect("ole32.dll", "CoInitialize", reinterpret_cast<void*>(&RecordedCoInitialize)));
        gCoUninitialize = reinterpret_cast<CoUninitializeFunction>(Redirect(
            "ole32.dll", "CoUninitialize", reinterpret_cast<void*>(&RecordedCoUninitialize)));
        gCreateFolder = reinterpret_cast<CreateFolderFunction>(Redirect(
            "shell32.dll", "SHCreateDirectoryExW", reinterpret_cast<void*>(&RecordedCreateFolder)));
        gSetSecurity = reinterpret_cast<SetSecurityFunction>(
            Redirect("advapi32.dll", "SetKernelObjectSecurity",
                     reinterpret_cast<void*>(&RecordedSetSecurity)));
        // An import the installer does not have is simply never recorded;
        // the ones it has must all be in place.
        redirected = true;
    }
    Record().clear();
    LaunchedProcesses().clear();
    return true;
}

void ReplyStartRecord(HWND window, HWND replyTo) {
    const std::int32_t started = StartRecord() ? 1 : 0;
    Reply(replyTo, window, kProbeStartRecord, &started, sizeof started);
}

void ReplyToken(HWND window, HWND replyTo) {
    const ProbedToken facts = ReadOwnToken();
    Reply(replyTo, window, kProbeToken, &facts, sizeof facts);
}

void ReplyRecord(HWND window, HWND replyTo) {
    Reply(replyTo, window, kProbeRecord, Record().data(),
          static_cast<DWORD>(Record().size() * sizeof(ProbedEvent)));
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK
    InstallerProbeHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const CWPSTRUCT* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (sent->message == ProbeMessage()) {
            const HWND replyTo = reinterpret_cast<HWND>(sent->wParam);
            if (sent->lParam == kProbeControlFonts)
                ReplyControlFonts(sent->hwnd, replyTo);
            else if (sent->lParam == kProbeBoxIcon)
                ReplyBoxIcon(sent->hwnd, replyTo);
            else if (sent->lParam == kProbeTextSizes)
                ReplyTextSizes(sent->hwnd, replyTo);
            else if (sent->lParam == kProbeLayout)
                ReplyLayout(sent->hwnd, replyTo);
            else if (sent->lParam == kProbeWindow)
                ReplyWindow(sent->hwnd, replyTo);
            else if (sent->lParam == kProbeStartRecord)
                ReplyStartRecord(sent->hwnd, replyTo);
            else if (sent->lParam == kProbeRecord)
                ReplyRecord(sent->hwnd, replyTo);
            else if (sent->lParam == kProbeToken)
                ReplyToken(sent->hwnd, replyTo);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
