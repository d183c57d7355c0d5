// Drives the real installer executable from outside, as a user would, by
// window messages only: find its window, click its buttons, read and answer
// the message boxes that it shows. Every wait is bounded.
#pragma once

#include "checkkit/driver/message_boxes.h"
#include "checkkit/driver/probe_protocol.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

inline constexpr wchar_t kInstallerWindowClass[] = L"OVIKInstallerWnd";
inline constexpr int kInstallButton = 1001;
inline constexpr int kUninstallButton = 1002;
inline constexpr int kCancelButton = 1003;

// A started installer. Ends the process on destruction if it still runs, so
// that a box nobody answered cannot outlive its test.
struct InstallerProcess {
    HANDLE process = nullptr;
    DWORD processId = 0;
    DWORD threadId = 0;  // the thread that owns the main window
    HWND window = nullptr;
    // The probe library hooked into the installer to read what only its
    // process can; empty: installer_probe.dll beside the running program.
    std::wstring probeLibrary;

    InstallerProcess() = default;
    InstallerProcess(const InstallerProcess&) = delete;
    InstallerProcess& operator=(const InstallerProcess&) = delete;
    ~InstallerProcess();
};

// Starts `exePath` in its own folder, as the shell does on a double click,
// and waits up to 15 s for its main window. False when it did not start or
// showed no window; `installer` then holds whatever was started.
bool StartInstaller(const std::wstring& exePath, InstallerProcess& installer);

// Starts `exePath` through the host's own `wine` launcher, which the test
// process inherits its prefix and display from, and waits up to 30 s for the
// installer's window. For a program path that CreateProcessW refuses (Wine
// takes none of MAX_PATH characters or more). The installer is found by its
// window class, so no other installer may be running.
bool StartInstallerThroughHostWine(const std::wstring& exePath, InstallerProcess& installer);

// The children of `parent` in z-order (GW_CHILD, then GW_HWNDNEXT), which is
// the order in which they were created.
std::vector<HWND> ChildWindows(HWND parent);

std::wstring ClassName(HWND window);

// Presses a button as a click would: BM_CLICK, posted, because the click
// runs a whole workflow inside the installer before it returns.
void ClickButton(HWND button);

// The visible message box ("#32770") owned by `owner`, or else one that the
// owner's process shows with another owner or none, polled for up to
// `timeoutMs`; null when none appeared.
HWND WaitForMessageBox(HWND owner, DWORD timeoutMs);

// Which of the system's message box icons a box shows: one of
// MB_ICONQUESTION, MB_ICONERROR, MB_ICONWARNING, MB_ICONINFORMATION, or 0 for
// none or an unknown one.
UINT MessageBoxIconOf(const InstallerProcess& installer, HWND box);

// One message box as the user met it: what it said and its icon.
struct ShownBox {
    SeenBox box;
    UINT icon = 0;  // as MessageBoxIconOf
};

// Clicks `buttonId` of the installer and answers the message boxes that
// follow, in order, with `answers` (IDYES, IDNO, IDOK). Returns every box
// seen. A box beyond the answers is answered No or OK and recorded, so a
// wrong sequence shows in the result instead of hanging. Waits up to
// `boxTimeoutMs` for each box; returns early when one does not come.
// `beforeAnswer`, when given, sees each box (and its index) before it is
// answered.
std::vector<ShownBox> RunWorkflow(const InstallerProcess& installer, int buttonId,
                                  const std::vector<int>& answers, DWORD boxTimeoutMs = 90000,
                                  const std::function<void(HWND, size_t)>& beforeAnswer = {});

// A short readable list of the boxes, for assertion messages.
std::string Describe(const std::vector<ShownBox>& boxes);

// Waits up to `timeoutMs` for the process to end; true with its exit code.
bool WaitForExit(HANDLE process, DWORD timeoutMs, DWORD& exitCode);

// What the installer's controls hold, read inside the installer's own
// process (a font handle means nothing in another process).
struct ControlFont {
    HFONT font = nullptr;    // WM_GETFONT
    bool described = false;  // GetObjectW filled `logFont`
    LOGFONTW logFont = {};
};

// WM_GETFONT and the font's LOGFONTW of each child of the main window, in
// z-order. Empty when the probe could not run.
std::vector<ControlFont> ReadControlFonts(const InstallerProcess& installer);

// How large each child's text comes out in the child's own font, measured
// inside the installer's process, in z-order. Empty when the probe could not
// run.
struct ControlTextSize {
    bool hasFont = false;
    SIZE client = {};       // the child's client area
    int wrappedHeight = 0;  // word-wrapped at the client width, as a static draws
    int lineWidth = 0;      // on one line, as a push button draws
    int buttonMargins = 0;  // both sides of a push button's label, in the installer's metrics
};
std::vector<ControlTextSize> MeasureControlTexts(const InstallerProcess& installer);

// Whether one control's text fits it, measured in the installer's process
// with the control's own font: a note wrapped at its box's width against the
// box's height, a button label on one line against the button's width less
// its edge and focus frame.
struct TextFit {
    std::wstring text;
    bool isButton = false;
    bool hasFont = false;
    int needed = 0;     // pixels the text takes
    int available = 0;  // pixels the control offers
};
// One entry per child of the main window, in z-order; empty when the probe
// could not run.
std::vector<TextFit> MeasureTextFits(const InstallerProcess& installer);

// The window as the installer lays it out, read in its own process: the DPI
// it made its font for, its client area and each child's box in client
// coordinates, in z-order. `read` is false when the probe could not run.
struct WindowLayout {
    bool read = false;
    int dpi = 0;
    SIZE client = {};
    std::vector<RECT> controls;
};
WindowLayout ReadWindowLayout(const InstallerProcess& installer);

// The window and its class, read in the installer's own process; false when
// the probe did not answer.
bool ReadWindowFacts(const InstallerProcess& installer, ProbedWindow& facts);

// Whom the installer's process runs as, read in that process; false when the
// probe did not answer.
bool ReadInstallerToken(const InstallerProcess& installer, ProbedToken& facts);

// Starts the probe's record of the installer's calls to the platform (message
// boxes, launches, waits for them, pauses); false when the probe did not
// answer. ReadCallRecord returns what it recorded since, in order; false when
// the probe did not answer.
bool StartCallRecord(const InstallerProcess& installer);
bool ReadCallRecord(const InstallerProcess& installer, std::vector<ProbedEvent>& events);
