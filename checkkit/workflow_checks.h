// The checks of the two workflows as a user meets them: the message boxes of
// each path (text, caption, buttons, icon, owner), and, recorded inside the
// installer, every box, launch, wait and pause in the order they came.
#pragma once

#include "checkkit/check_run.h"
#include "checkkit/driver/installer_boxes.h"
#include "checkkit/driver/installer_driver.h"
#include "checkkit/expected.h"

// The boxes a workflow showed against the boxes expected, in order.
Problems CompareBoxes(const std::vector<ShownBox>& shown, const std::vector<ExpectedBox>& expected,
                      HWND owner);

// One call that a path of a workflow makes to the platform: a message box, a
// launch (and its wait, when it gave a process back), or a pause.
struct ExpectedCall {
    const ExpectedBox* box = nullptr;
    const expected::Launch* launch = nullptr;
    DWORD pauseMs = 0;
};
inline ExpectedCall BoxCall(const ExpectedBox& box) {
    return {&box, nullptr, 0};
}
inline ExpectedCall LaunchCall(const expected::Launch& launch) {
    return {nullptr, &launch, 0};
}
inline ExpectedCall PauseCall(DWORD ms) {
    return {nullptr, nullptr, ms};
}

// One path of a workflow: press `buttonId`, answer the boxes with `answers`,
// and compare the boxes seen with `boxes` and the calls that the probe
// recorded inside the installer with `calls`. `beforeAnswer` as RunWorkflow.
// `record`, when given, receives every recorded call.
Problems WorkflowProblems(const InstallerProcess& installer, int buttonId,
                          const std::vector<int>& answers, DWORD boxTimeoutMs,
                          const std::vector<ExpectedBox>& boxes,
                          const std::vector<ExpectedCall>& calls,
                          const std::function<void(HWND, size_t)>& beforeAnswer = {},
                          std::vector<ProbedEvent>* record = nullptr);
