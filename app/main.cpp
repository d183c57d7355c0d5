// Process entry and the installer's one window: two notes and the Install,
// Uninstall and Cancel buttons, which hand over to the workflows.
#include "app/resource.h"
#include "setup/setup.h"

#include <windows.h>
#include <shellapi.h>

namespace {

constexpr wchar_t kMainWindowClass[] = L"OVIKInstallerWnd";
constexpr wchar_t kMainWindowTitle[] = L"Installer";
// A fixed frame: close and minimise, no maximise, no sizing border.
constexpr DWORD kMainWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kClientWidth = 500;
constexpr int kClientHeight = 250;

// Plain left-aligned, word-wrapped notes and plain flat push buttons; none is
// a tab stop or a default button.
constexpr DWORD kNoteStyle = WS_CHILD | WS_VISIBLE | SS_LEFT;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | BS_FLAT | BS_PUSHBUTTON;

constexpr int kFontPoints = 11;
constexpr wchar_t kFontFace[] = L"MS Shell Dlg";

struct ControlLayout {
    const wchar_t* className;
    int id;
    int x, y, width, height;
    DWORD style;
    const wchar_t* text;
};

// In creation order.
constexpr ControlLayout kControls[] = {
    {L"STATIC", 0, 8, 8, 484, 35, kNoteStyle,
     L"OVIKクライアントを C:\\ovikProgram フォルダーを作成し、そこにインストールします。"},
    {L"STATIC", 0, 8, 55, 484, 88, kNoteStyle,
     L"※このシステムは、拡張ライブラリファイルScreenCapture.axを使用します。\r\n"
     L"※インストールの際、この拡張ライブラリファイルの導入をするかどうかの確認があります。\r\n"
     L"※導入しない場合、自身の端末の画面を共有することができません。\r\n"
     L"※アンインストールすると、この拡張ライブラリファイルは削除されます。"},
    {L"BUTTON", IDC_INSTALL, 35, 152, 120, 80, kButtonStyle, L"インストール"},
    {L"BUTTON", IDC_UNINSTALL, 190, 152, 120, 80, kButtonStyle, L"アンインストール"},
    {L"BUTTON", IDC_CANCEL, 345, 152, 120, 80, kButtonStyle, L"キャンセル"},
};

// 11 points as a character height at the window's vertical DPI.
HFONT CreateDialogFont(HWND window) {
    const HDC dc = GetDC(window);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(window, dc);
    return CreateFontW(-MulDiv(kFontPoints, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       SHIFTJIS_CHARSET, 0, 0, 0, FF_SWISS, kFontFace);
}

void OnCreate(HWND window, const CREATESTRUCTW* create) {
    // The font is made once and lives as long as the process; the controls
    // share it. Nothing here is checked: a missing font leaves the system
    // font, a missing control is simply absent.
    const HFONT font = CreateDialogFont(window);
    for (const ControlLayout& control : kControls) {
        const HWND child = CreateWindowExW(
            0, control.className, control.text, control.style, control.x, control.y,
            control.width, control.height, window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), create->hInstance, nullptr);
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
}

void OnCommand(HWND window, int controlId) {
    switch (controlId) {
        case IDC_INSTALL:
            RunInstall(window);
            break;
        case IDC_UNINSTALL:
            RunUninstall(window);
            break;
        case IDC_CANCEL:
            DestroyWindow(window);
            break;
    }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate(window, reinterpret_cast<const CREATESTRUCTW*>(lParam));
            return 0;
        case WM_COMMAND:
            // Only the control id counts, not the notification code.
            OnCommand(window, LOWORD(wParam));
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    // Before any shell call: DLLs come only from the system folder, never
    // from the medium the installer runs from.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    // Position 3 among shell32.dll's icons, as one large icon for both slots.
    HICON icon = nullptr;
    ExtractIconExW(L"shell32.dll", 3, &icon, nullptr, 1);

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hIconSm = icon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = kMainWindowClass;
    RegisterClassExW(&windowClass);

    RECT frame = {0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&frame, kMainWindowStyle, FALSE);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    const HWND window = CreateWindowExW(0, kMainWindowClass, kMainWindowTitle, kMainWindowStyle, x,
                                        y, width, height, nullptr, nullptr, instance, nullptr);
    if (!window) return 0;

    ShowWindow(window, showCommand);
    UpdateWindow(window);

    // GetMessageW's -1 (an invalid call) ends the loop too, rather than
    // spinning on it.
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
