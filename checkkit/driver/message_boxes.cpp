#include "checkkit/driver/message_boxes.h"

#include <utility>

namespace {

struct AnswererState {
    HHOOK hook = nullptr;
    std::vector<int> answers;
    size_t next = 0;
    std::vector<SeenBox> seen;
    std::vector<HWND> handled;
};

thread_local AnswererState* tState = nullptr;

bool IsMessageBox(HWND window) {
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    return std::wstring(className) == L"#32770";
}

LRESULT CALLBACK OnCbt(int code, WPARAM wParam, LPARAM lParam) {
    AnswererState* state = tState;
    if (state && code == HCBT_ACTIVATE) {
        const HWND box = reinterpret_cast<HWND>(wParam);
        bool known = false;
        for (const HWND handled : state->handled)
            known = known || handled == box;
        if (!known && IsMessageBox(box)) {
            state->handled.push_back(box);
            SeenBox seen = ReadMessageBox(box);
            int answer = seen.hasNo ? IDNO : IDOK;
            if (state->next < state->answers.size())
                answer = state->answers[state->next++];
            seen.answer = answer;
            state->seen.push_back(seen);
            // Posted, so the box finishes its own set-up before it is answered.
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
        }
    }
    return CallNextHookEx(state ? state->hook : nullptr, code, wParam, lParam);
}

}  // namespace

std::wstring WindowText(HWND window) {
    if (!window)
        return std::wstring();
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(got > 0 ? got : 0));
    return text;
}

SeenBox ReadMessageBox(HWND box) {
    SeenBox seen;
    seen.caption = WindowText(box);
    seen.text = WindowText(GetDlgItem(box, 0xFFFF));
    seen.hasOk = GetDlgItem(box, IDOK) != nullptr;
    seen.hasYes = GetDlgItem(box, IDYES) != nullptr;
    seen.hasNo = GetDlgItem(box, IDNO) != nullptr;
    seen.hasCancel = GetDlgItem(box, IDCANCEL) != nullptr;
    seen.owner = GetWindow(box, GW_OWNER);
    return seen;
}

ScopedBoxAnswerer::ScopedBoxAnswerer(std::vector<int> answers) {
    tState = new AnswererState;
    tState->answers = std::move(answers);
    tState->hook = SetWindowsHookExW(WH_CBT, OnCbt, nullptr, GetCurrentThreadId());
}

ScopedBoxAnswerer::~ScopedBoxAnswerer() {
    UnhookWindowsHookEx(tState->hook);
    delete tState;
    tState = nullptr;
}

const std::vector<SeenBox>& ScopedBoxAnswerer::Seen() const {
    return tState->seen;
}

std::wstring Describe(const std::vector<SeenBox>& boxes) {
    std::wstring out;
    for (const SeenBox& box : boxes)
        out += L"[" + box.caption + L"] " + box.text + L"\n";
    return out.empty() ? L"(no box)" : out;
}
