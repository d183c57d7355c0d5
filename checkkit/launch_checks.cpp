#include "checkkit/launch_checks.h"

#include "checkkit/text.h"

#include <algorithm>

namespace {

using namespace expected;

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(folder, length) : std::wstring();
}

std::string OrNone(const std::wstring& text, bool isNull) {
    return isNull ? std::string("none") : Quoted(text);
}

std::string ShowName(int show) {
    return show == SW_HIDE ? "hidden (SW_HIDE)" : "shown with " + std::to_string(show);
}

std::string BoxWords(const std::wstring& caption, UINT type, bool ownedByWindow) {
    return "message box [" + OneLine(Narrow(caption)) + "] of type " + Hex(type) +
           (ownedByWindow ? ", owned by the installer window"
                          : ", not owned by the installer window");
}

std::string LaunchWords(const std::wstring& verb, bool nullVerb, const std::wstring& file,
                        const std::wstring& parameters, bool nullParameters,
                        const std::wstring& directory, bool nullDirectory, int show,
                        unsigned long mask, bool hasWindow, unsigned long size) {
    std::string words = "launch " + OrNone(file, false) + " with the verb " +
                        OrNone(verb, nullVerb) + ", parameters " +
                        OrNone(parameters, nullParameters) + ", working folder " +
                        OrNone(directory, nullDirectory) + ", " + ShowName(show) + ", mask " +
                        Hex(mask) + (hasWindow ? ", with a window" : ", no window");
    if (size != sizeof(SHELLEXECUTEINFOW))
        words += ", cbSize " + std::to_string(size);
    return words;
}

std::string WaitWords(DWORD ms, const std::wstring& file) {
    return "wait up to " + std::to_string(ms) + " ms for " + Quoted(file);
}

std::string PauseWords(DWORD ms) {
    return "pause " + std::to_string(ms) + " ms";
}

// The full path of an expected launch's file.
std::wstring LaunchFile(const Launch& launch) {
    return (launch.inSystemFolder ? SystemFolder() : std::wstring(kInstallRoot)) + launch.file;
}

}  // namespace

Problems CallRecordProblems(const InstallerProcess& installer,
                            const std::vector<ExpectedCall>& calls,
                            std::vector<ProbedEvent>* record) {
    std::vector<ProbedEvent> events;
    if (!ReadCallRecord(installer, events))
        return {"the probe in the installer did not hand over its record of calls"};
    if (record)
        *record = events;
    const auto owned = [&installer](std::uint64_t window) {
        return reinterpret_cast<HWND>(window) == installer.window;
    };

    // COM is paired apart from the order of the other calls: each
    // CoInitialize that succeeded (S_FALSE, "already initialised", too) is
    // undone by one CoUninitialize, and one that failed by none.
    Problems comProblems;
    int apartments = 0;
    for (const ProbedEvent& event : events) {
        if (event.kind == kEventComInit && SUCCEEDED(static_cast<HRESULT>(event.value)))
            ++apartments;
        if (event.kind == kEventComUninit && --apartments < 0) {
            comProblems.push_back("CoUninitialize without a CoInitialize that succeeded before it");
            apartments = 0;
        }
    }
    if (apartments > 0)
        comProblems.push_back(std::to_string(apartments) +
                              " CoInitialize that succeeded not undone by CoUninitialize");

    std::vector<std::string> seen;
    std::vector<bool> launchGaveProcess;
    for (const ProbedEvent& event : events) {
        switch (event.kind) {
            case kEventComInit:
            case kEventComUninit:
            case kEventSecurity:  // judged by the check permissions
                break;
            case kEventMessageBox:
                seen.push_back(BoxWords(event.caption, event.value, owned(event.window)));
                break;
            case kEventLaunch:
                seen.push_back(LaunchWords(event.verb, event.nullFields & kNullVerb, event.file,
                                           event.parameters, event.nullFields & kNullParameters,
                                           event.directory, event.nullFields & kNullDirectory,
                                           event.show, event.mask, event.window != 0,
                                           event.cbSize));
                launchGaveProcess.push_back(event.gotProcess != 0);
                break;
            case kEventWait: {
                const bool known =
                    event.ofLaunch >= 0 && static_cast<size_t>(event.ofLaunch) < events.size();
                seen.push_back(WaitWords(event.value, known ? events[event.ofLaunch].file : L"?"));
                break;
            }
            case kEventPause:
                seen.push_back(PauseWords(event.value));
                break;
            default:
                seen.push_back("a call the kit does not know (" + std::to_string(event.kind) + ")");
        }
    }

    // A launch that gave no process back (a declined prompt) is not waited
    // for; the launch itself still counts.
    std::vector<std::string> wanted;
    size_t launches = 0;
    for (const ExpectedCall& call : calls) {
        if (call.box) {
            wanted.push_back(BoxWords(call.box->caption,
                                      call.box->icon | (call.box->yesNo ? MB_YESNO : MB_OK), true));
        } else if (call.launch) {
            const std::wstring file = LaunchFile(*call.launch);
            const std::wstring parameters = call.launch->parameters ? call.launch->parameters : L"";
            wanted.push_back(LaunchWords(
                kLaunchVerb, false, file, parameters, call.launch->parameters == nullptr,
                SystemFolder(), false, kLaunchShow, kLaunchMask, false, sizeof(SHELLEXECUTEINFOW)));
            if (launches >= launchGaveProcess.size() || launchGaveProcess[launches])
                wanted.push_back(WaitWords(call.launch->waitMs, file));
            ++launches;
        } else {
            wanted.push_back(PauseWords(call.pauseMs));
        }
    }

    Problems problems;
    for (size_t i = 0; i < std::max(seen.size(), wanted.size()); ++i) {
        const std::string which = "call " + std::to_string(i + 1);
        if (i >= seen.size())
            problems.push_back(which + " did not come: expected " + wanted[i]);
        else if (i >= wanted.size())
            problems.push_back(which + " was not expected: " + seen[i]);
        else if (seen[i] != wanted[i])
            problems.push_back(which + " is " + seen[i] + "; expected " + wanted[i]);
    }
    problems.insert(problems.end(), comProblems.begin(), comProblems.end());
    return problems;
}
