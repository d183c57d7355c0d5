// Answers the message boxes that the code under test shows on this thread,
// and records what each one said.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct SeenBox {
    std::wstring caption;
    std::wstring text;  // the static with id 0xFFFF
    bool hasOk = false;
    bool hasYes = false;
    bool hasNo = false;
    bool hasCancel = false;
    HWND owner = nullptr;
    int answer = 0;  // the button the answerer clicked
};

// While it lives, every message box that this thread activates is recorded
// and answered with the next entry of `answers` (IDYES, IDNO, IDOK, ...).
// A box beyond the list is answered with No when it has one, else OK, so an
// unexpected box can never hang a test. Only one may live per thread.
struct ScopedBoxAnswerer {
    explicit ScopedBoxAnswerer(std::vector<int> answers);
    ~ScopedBoxAnswerer();
    ScopedBoxAnswerer(const ScopedBoxAnswerer&) = delete;
    ScopedBoxAnswerer& operator=(const ScopedBoxAnswerer&) = delete;

    const std::vector<SeenBox>& Seen() const;
};

// A window's text, and the caption, text, buttons and owner of a message
// box; for code that finds boxes by other means.
std::wstring WindowText(HWND window);
SeenBox ReadMessageBox(HWND box);

// A short readable list of the seen boxes, for assertion messages.
std::wstring Describe(const std::vector<SeenBox>& boxes);
