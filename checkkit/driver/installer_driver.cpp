#include "checkkit/driver/installer_driver.h"

#include "checkkit/driver/files.h"
#include "checkkit/driver/probe_protocol.h"
#include "checkkit/text.h"
#include "shellops/shellops.h"

#include <cstring>

namespace {

constexpr DWORD kPollMs = 20;

// A visible message box owned by `owner`, or else one of the same process
// with another owner or none (a fault that the caller names, rather than
// waiting for a box that has come).
struct OwnedSearch {
    HWND owner;
    DWORD processId;
    HWND found;
    HWND foundElsewhere;
};

BOOL CALLBACK FindOwnedBox(HWND window, LPARAM lParam) {
    OwnedSearch* search = reinterpret_cast<OwnedSearch*>(lParam);
    if (!IsWindowVisible(window) || ClassName(window) != L"#32770")
        return TRUE;
    if (GetWindow(window, GW_OWNER) == search->owner) {
        search->found = window;
        return FALSE;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == search->processId && !search->foundElsewhere)
        search->foundElsewhere = window;
    return TRUE;
}

HWND OwnedMessageBox(HWND owner) {
    OwnedSearch search = {owner, 0, nullptr, nullptr};
    GetWindowThreadProcessId(owner, &search.processId);
    EnumWindows(FindOwnedBox, reinterpret_cast<LPARAM>(&search));
    return search.found ? search.found : search.foundElsewhere;
}

// The visible installer window of `processId`, or of any process when it is 0.
HWND MainWindowOf(DWORD processId) {
    for (HWND window = FindWindowExW(nullptr, nullptr, kInstallerWindowClass, nullptr); window;
         window = FindWindowExW(nullptr, window, kInstallerWindowClass, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if ((processId == 0 || owner == processId) && IsWindowVisible(window))
            return window;
    }
    return nullptr;
}

bool WaitUntilGone(HWND window, DWORD timeoutMs) {
    const ULONGLONG end = NowMs() + timeoutMs;
    while (IsWindow(window)) {
        if (NowMs() > end)
            return false;
        Sleep(kPollMs);
    }
    return true;
}

bool StillRunning(HANDLE process) {
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

// ---- Probe -----------------------------------------------------------------

thread_local std::vector<unsigned char>* tProbeReply = nullptr;
thread_local bool tProbeAnswered = false;

LRESULT CALLBACK ProbeReplyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA && tProbeReply) {
        const COPYDATASTRUCT* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        const unsigned char* bytes = static_cast<const unsigned char*>(copy->lpData);
        if (bytes)
            tProbeReply->assign(bytes, bytes + copy->cbData);
        else
            tProbeReply->clear();
        tProbeAnswered = true;
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Hooks the probe library onto the installer's UI thread, sends it `query`
// about `target` and puts its reply into `reply`; false when it did not answer.
bool AskProbeAnswered(const InstallerProcess& installer, HWND target, LPARAM query,
                      std::vector<unsigned char>& reply) {
    reply.clear();
    const std::wstring path = installer.probeLibrary.empty()
                                  ? GetExecutableDirectory() + L"\\installer_probe.dll"
                                  : installer.probeLibrary;
    const HMODULE probe = LoadLibraryW(path.c_str());
    if (!probe)
        return false;
    const HOOKPROC hookProc =
        reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(probe, kProbeHookName)));

    WNDCLASSW replyClass = {};
    replyClass.lpfnWndProc = ProbeReplyProc;
    replyClass.hInstance = GetModuleHandleW(nullptr);
    replyClass.lpszClassName = L"OvikE2eProbeReply";
    RegisterClassW(&replyClass);
    const HWND replyWindow = CreateWindowExW(0, replyClass.lpszClassName, L"", 0, 0, 0, 0, 0,
                                             HWND_MESSAGE, nullptr, replyClass.hInstance, nullptr);
    const HHOOK hook =
        hookProc ? SetWindowsHookExW(WH_CALLWNDPROC, hookProc, probe, installer.threadId) : nullptr;
    bool answered = false;
    if (hook && replyWindow) {
        tProbeReply = &reply;
        tProbeAnswered = false;
        // While this send waits, the probe's WM_COPYDATA is delivered to
        // the reply window on this thread.
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(target, RegisterWindowMessageW(kProbeMessageName),
                            reinterpret_cast<WPARAM>(replyWindow), query, SMTO_NORMAL, 10000,
                            &ignored);
        answered = tProbeAnswered;
        tProbeReply = nullptr;
    }
    if (hook)
        UnhookWindowsHookEx(hook);
    if (replyWindow)
        DestroyWindow(replyWindow);
    FreeLibrary(probe);
    return answered;
}

std::vector<unsigned char> AskProbe(const InstallerProcess& installer, HWND target, LPARAM query) {
    std::vector<unsigned char> reply;
    AskProbeAnswered(installer, target, query, reply);
    return reply;
}

}  // namespace

InstallerProcess::~InstallerProcess() {
    if (!process)
        return;
    if (StillRunning(process)) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 10000);
    }
    CloseHandle(process);
}

bool StartInstaller(const std::wstring& exePath, InstallerProcess& installer) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    std::wstring commandLine = L"\"" + exePath + L"\"";
    const std::wstring folder = GetParentPath(exePath);
    if (!CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &started))
        return false;
    CloseHandle(started.hThread);
    installer.process = started.hProcess;
    installer.processId = started.dwProcessId;

    const ULONGLONG end = NowMs() + 15000;
    while (!installer.window && NowMs() < end && StillRunning(installer.process)) {
        installer.window = MainWindowOf(installer.processId);
        if (!installer.window)
            Sleep(kPollMs);
    }
    if (!installer.window)
        return false;
    installer.threadId = GetWindowThreadProcessId(installer.window, nullptr);
    // The window is found as soon as it exists; wait until its creation has
    // finished and the loop waits for input.
    WaitForInputIdle(installer.process, 10000);
    return true;
}

bool StartInstallerThroughHostWine(const std::wstring& exePath, InstallerProcess& installer) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    std::wstring commandLine = L"wine \"" + exePath + L"\"";
    // The test session shows the host's wine launcher on its drive H:.
    if (!CreateProcessW(L"H:\\wine", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started))
        return false;
    CloseHandle(started.hThread);
    // The launcher becomes a Windows process of its own with another id.
    const ULONGLONG end = NowMs() + 30000;
    while (!installer.window && NowMs() < end) {
        installer.window = MainWindowOf(0);
        if (!installer.window)
            Sleep(kPollMs);
    }
    CloseHandle(started.hProcess);
    if (!installer.window)
        return false;
    installer.threadId = GetWindowThreadProcessId(installer.window, &installer.processId);
    installer.process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION,
                                    FALSE, installer.processId);
    if (!installer.process)
        return false;
    WaitForInputIdle(installer.process, 10000);
    return true;
}

std::vector<HWND> ChildWindows(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

std::wstring ClassName(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

void ClickButton(HWND button) {
    PostMessageW(button, BM_CLICK, 0, 0);
}

HWND WaitForMessageBox(HWND owner, DWORD timeoutMs) {
    const ULONGLONG end = NowMs() + timeoutMs;
    for (;;) {
        const HWND box = OwnedMessageBox(owner);
        if (box)
            return box;
        if (NowMs() > end || !IsWindow(owner))
            return nullptr;
        Sleep(kPollMs);
    }
}

UINT MessageBoxIconOf(const InstallerProcess& installer, HWND box) {
    const std::vector<unsigned char> reply = AskProbe(installer, box, kProbeBoxIcon);
    if (reply.size() != sizeof(ProbedIcon))
        return 0;
    ProbedIcon probed;
    std::memcpy(&probed, reply.data(), sizeof probed);
    return probed.kind;
}

std::vector<ShownBox> RunWorkflow(const InstallerProcess& installer, int buttonId,
                                  const std::vector<int>& answers, DWORD boxTimeoutMs,
                                  const std::function<void(HWND, size_t)>& beforeAnswer) {
    std::vector<ShownBox> seen;
    ClickButton(GetDlgItem(installer.window, buttonId));
    for (size_t next = 0;; ++next) {
        const bool expected = next < answers.size();
        // Past the expected boxes, only a short look for one more: the last
        // box is the workflow's last step, so a further one would be a fault.
        const HWND box = WaitForMessageBox(installer.window, expected ? boxTimeoutMs : 500);
        if (!box)
            break;
        SeenBox read = ReadMessageBox(box);
        int answer = read.hasNo ? IDNO : IDOK;
        if (expected && GetDlgItem(box, answers[next]))
            answer = answers[next];
        read.answer = answer;
        seen.push_back({read, MessageBoxIconOf(installer, box)});
        if (beforeAnswer)
            beforeAnswer(box, next);
        ClickButton(GetDlgItem(box, answer));
        if (!WaitUntilGone(box, 10000))
            break;
    }
    return seen;
}

std::string Describe(const std::vector<ShownBox>& boxes) {
    std::vector<SeenBox> seen;
    seen.reserve(boxes.size());
    for (const ShownBox& shown : boxes)
        seen.push_back(shown.box);
    return Narrow(Describe(seen));
}

bool WaitForExit(HANDLE process, DWORD timeoutMs, DWORD& exitCode) {
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
        return false;
    return GetExitCodeProcess(process, &exitCode) != 0;
}

std::vector<ControlFont> ReadControlFonts(const InstallerProcess& installer) {
    const std::vector<unsigned char> reply =
        AskProbe(installer, installer.window, kProbeControlFonts);
    std::vector<ControlFont> fonts(reply.size() / sizeof(ProbedFont));
    for (size_t i = 0; i < fonts.size(); ++i) {
        ProbedFont probed;
        std::memcpy(&probed, reply.data() + i * sizeof(ProbedFont), sizeof probed);
        fonts[i].font = reinterpret_cast<HFONT>(probed.font);
        fonts[i].described = probed.described != 0;
        fonts[i].logFont = probed.logFont;
    }
    return fonts;
}

std::vector<ControlTextSize> MeasureControlTexts(const InstallerProcess& installer) {
    const std::vector<unsigned char> reply = AskProbe(installer, installer.window, kProbeTextSizes);
    std::vector<ControlTextSize> sizes(reply.size() / sizeof(ProbedTextSize));
    for (size_t i = 0; i < sizes.size(); ++i) {
        ProbedTextSize probed;
        std::memcpy(&probed, reply.data() + i * sizeof(ProbedTextSize), sizeof probed);
        sizes[i].hasFont = probed.hasFont != 0;
        sizes[i].client = {probed.clientWidth, probed.clientHeight};
        sizes[i].wrappedHeight = probed.wrappedHeight;
        sizes[i].lineWidth = probed.lineWidth;
        sizes[i].buttonMargins = probed.buttonMargins;
    }
    return sizes;
}

std::vector<TextFit> MeasureTextFits(const InstallerProcess& installer) {
    const std::vector<HWND> children = ChildWindows(installer.window);
    const std::vector<ControlTextSize> sizes = MeasureControlTexts(installer);
    std::vector<TextFit> fits;
    if (sizes.size() != children.size())
        return fits;
    for (size_t i = 0; i < sizes.size(); ++i) {
        TextFit fit;
        fit.text = WindowText(children[i]);
        fit.isButton = CompareStringOrdinal(ClassName(children[i]).c_str(), -1, L"Button", -1,
                                            TRUE) == CSTR_EQUAL;
        fit.hasFont = sizes[i].hasFont;
        fit.needed = fit.isButton ? sizes[i].lineWidth : sizes[i].wrappedHeight;
        fit.available =
            fit.isButton ? sizes[i].client.cx - sizes[i].buttonMargins : sizes[i].client.cy;
        fits.push_back(fit);
    }
    return fits;
}

WindowLayout ReadWindowLayout(const InstallerProcess& installer) {
    WindowLayout layout;
    const std::vector<unsigned char> reply = AskProbe(installer, installer.window, kProbeLayout);
    if (reply.size() < sizeof(ProbedLayout) ||
        (reply.size() - sizeof(ProbedLayout)) % sizeof(RECT) != 0)
        return layout;
    ProbedLayout probed;
    std::memcpy(&probed, reply.data(), sizeof probed);
    layout.read = true;
    layout.dpi = probed.dpi;
    layout.client = {probed.clientWidth, probed.clientHeight};
    layout.controls.resize((reply.size() - sizeof probed) / sizeof(RECT));
    std::memcpy(layout.controls.data(), reply.data() + sizeof probed,
                layout.controls.size() * sizeof(RECT));
    return layout;
}

bool ReadWindowFacts(const InstallerProcess& installer, ProbedWindow& facts) {
    const std::vector<unsigned char> reply = AskProbe(installer, installer.window, kProbeWindow);
    if (reply.size() != sizeof facts)
        return false;
    std::memcpy(&facts, reply.data(), sizeof facts);
    return true;
}

bool ReadInstallerToken(const InstallerProcess& installer, ProbedToken& facts) {
    const std::vector<unsigned char> reply = AskProbe(installer, installer.window, kProbeToken);
    if (reply.size() != sizeof facts)
        return false;
    std::memcpy(&facts, reply.data(), sizeof facts);
    return true;
}

bool StartCallRecord(const InstallerProcess& installer) {
    const std::vector<unsigned char> reply =
        AskProbe(installer, installer.window, kProbeStartRecord);
    std::int32_t started = 0;
    if (reply.size() != sizeof started)
        return false;
    std::memcpy(&started, reply.data(), sizeof started);
    return started == 1;
}

bool ReadCallRecord(const InstallerProcess& installer, std::vector<ProbedEvent>& events) {
    // An empty record comes back as an empty reply, which the reply window
    // tells apart from none by the query it carries.
    events.clear();
    std::vector<unsigned char> reply;
    if (!AskProbeAnswered(installer, installer.window, kProbeRecord, reply) ||
        reply.size() % sizeof(ProbedEvent) != 0)
        return false;
    events.resize(reply.size() / sizeof(ProbedEvent));
    if (!events.empty())
        std::memcpy(events.data(), reply.data(), reply.size());
    return true;
}
