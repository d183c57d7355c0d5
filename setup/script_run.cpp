#include "setup/script_run.h"

#include "shellops/handles.h"
#include "shellops/shellops.h"

namespace {

constexpr DWORD kScriptWaitMs = 30000;

}  // namespace

void RunScriptElevated(const std::wstring& scriptPath, const std::wstring& scriptText) {
    // The install root lies in the drive root, where other users may change
    // new folders. Pinned and re-read, the script that runs is the one written.
    const UniqueHandle hold(OpenForReadDenyWrite(scriptPath));
    if (!hold || !FileHoldsAnsiText(hold.get(), scriptText))
        return;
    RunElevatedAndWait(scriptPath, std::wstring(), kScriptWaitMs);
}
