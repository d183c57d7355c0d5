#include "checkkit/sandbox.h"

#include "checkkit/driver/files.h"
#include "checkkit/text.h"
#include "checkkit/report.h"
#include "shellops/handles.h"

#include <windows.h>
#include <shlobj.h>

namespace {

std::wstring FullPath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return std::wstring();
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    full.resize(length < size ? length : 0);
    return full;
}

}  // namespace

std::wstring WriteSandboxConfig(const std::wstring& release, const std::wstring& results,
                                std::string& why) {
    const std::wstring hostRelease = FullPath(release);
    const std::wstring hostResults = FullPath(results);
    if (hostRelease.empty() || !IsFolder(hostRelease + L"\\check")) {
        why = "the release folder " + Narrow(release) + " holds no check kit";
        return std::wstring();
    }
    SHCreateDirectoryExW(nullptr, hostResults.c_str(), nullptr);
    if (hostResults.empty() || !IsFolder(hostResults)) {
        why = "cannot make the results folder " + Narrow(results);
        return std::wstring();
    }
    const std::string xml =
        "<Configuration>\n"
        "  <MappedFolders>\n"
        "    <MappedFolder>\n"
        "      <HostFolder>" +
        EscapeXml(Narrow(hostRelease)) +
        "</HostFolder>\n"
        "      <SandboxFolder>C:\\ovik-check\\release</SandboxFolder>\n"
        "      <ReadOnly>true</ReadOnly>\n"
        "    </MappedFolder>\n"
        "    <MappedFolder>\n"
        "      <HostFolder>" +
        EscapeXml(Narrow(hostResults)) +
        "</HostFolder>\n"
        "      <SandboxFolder>C:\\ovik-check\\results</SandboxFolder>\n"
        "      <ReadOnly>false</ReadOnly>\n"
        "    </MappedFolder>\n"
        "  </MappedFolders>\n"
        "  <LogonCommand>\n"
        "    <Command>cmd.exe /c start \"OVIK release check\" cmd.exe /k "
        "C:\\ovik-check\\release\\check\\check.cmd C:\\ovik-check\\results</Command>\n"
        "  </LogonCommand>\n"
        "</Configuration>\n";
    std::wstring path = hostResults + L"\\ovik-check.wsb";
    if (!WriteUtf8File(path, xml)) {
        why = "cannot write " + Narrow(path);
        return std::wstring();
    }
    return path;
}
