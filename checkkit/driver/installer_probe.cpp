// A hook library that the end-to-end test puts on the installer's UI thread.
// It answers questions that only code inside the installer's process can
// answer (GDI and icon handles belong to their process): which font each
// control uses, how large each control's text comes out in that font, the
// window's DPI and layout, and which system icon a message box shows. It changes nothing and reacts
// to no other message.
#include "checkkit/driver/probe_protocol.h"

#include <cstring>
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
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
