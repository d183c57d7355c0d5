#include "checkkit/workflow_checks.h"

#include "checkkit/launch_checks.h"
#include "checkkit/text.h"

#include <algorithm>

namespace {

const char* IconName(UINT icon) {
    switch (icon) {
        case MB_ICONQUESTION:
            return "the question icon";
        case MB_ICONERROR:
            return "the error icon";
        case MB_ICONWARNING:
            return "the warning icon";
        case MB_ICONINFORMATION:
            return "the information icon";
    }
    return "no icon (or one of its own)";
}

std::string ButtonNames(const SeenBox& box) {
    std::string names;
    for (const auto& [present, name] :
         {std::pair{box.hasYes, "Yes"}, std::pair{box.hasNo, "No"}, std::pair{box.hasOk, "OK"},
          std::pair{box.hasCancel, "Cancel"}}) {
        if (present)
            names += (names.empty() ? "" : " and ") + std::string(name);
    }
    return names.empty() ? "no button" : names;
}

std::string BoxWords(const std::wstring& caption, const std::wstring& text) {
    return "[" + OneLine(Narrow(caption)) + "] " + Quoted(text);
}

}  // namespace

Problems CompareBoxes(const std::vector<ShownBox>& shown, const std::vector<ExpectedBox>& expected,
                      HWND owner) {
    Problems problems;
    for (size_t i = 0; i < std::max(shown.size(), expected.size()); ++i) {
        const std::string which = "box " + std::to_string(i + 1);
        if (i >= shown.size()) {
            problems.push_back(which + " did not come; expected " +
                               BoxWords(expected[i].caption, expected[i].text));
            continue;
        }
        const SeenBox& box = shown[i].box;
        const std::string seen = BoxWords(box.caption, box.text);
        if (i >= expected.size()) {
            problems.push_back(which + " was not expected: " + seen + ", answered " +
                               (box.answer == IDNO ? "No" : "OK"));
            continue;
        }
        const ExpectedBox& want = expected[i];
        if (box.caption != want.caption || box.text != want.text)
            problems.push_back(which + " is " + seen + ", expected " +
                               BoxWords(want.caption, want.text));
        const bool yesNo = box.hasYes && box.hasNo && !box.hasOk;
        const bool okOnly = box.hasOk && !box.hasYes && !box.hasNo;
        if ((want.yesNo ? !yesNo : !okOnly) || box.hasCancel)
            problems.push_back(which + " " + seen + " has " + ButtonNames(box) + ", expected " +
                               (want.yesNo ? "Yes and No" : "OK alone"));
        if (shown[i].icon != want.icon)
            problems.push_back(which + " " + seen + " shows " + IconName(shown[i].icon) +
                               ", expected " + IconName(want.icon));
        if (box.owner != owner)
            problems.push_back(which + " " + seen + " is not owned by the installer window");
    }
    return problems;
}

Problems WorkflowProblems(const InstallerProcess& installer, int buttonId,
                          const std::vector<int>& answers, DWORD boxTimeoutMs,
                          const std::vector<ExpectedBox>& boxes,
                          const std::vector<ExpectedCall>& calls,
                          const std::function<void(HWND, size_t)>& beforeAnswer,
                          std::vector<ProbedEvent>* record) {
    if (!StartCallRecord(installer))
        return {"the probe in the installer did not start its record of calls"};
    const std::vector<ShownBox> shown =
        RunWorkflow(installer, buttonId, answers, boxTimeoutMs, beforeAnswer);
    Problems problems = CompareBoxes(shown, boxes, installer.window);
    for (std::string& problem : CallRecordProblems(installer, calls, record))
        problems.push_back(std::move(problem));
    return problems;
}
