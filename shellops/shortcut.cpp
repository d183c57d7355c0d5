// The desktop shortcut, written by the shell's own link object.
#include "shellops/shellops.h"

#include "shellops/handles.h"

#include <shlobj.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

bool CreateShortcut(const std::wstring& linkPath, const std::wstring& targetPath,
                    const std::wstring& iconPath) {
    // Declared first so that it is torn down after both interfaces.
    const ComApartment apartment;

    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(link.GetAddressOf()))))
        return false;
    if (FAILED(link->SetPath(targetPath.c_str())))
        return false;

    const std::wstring::size_type separator = targetPath.find_last_of(L"\\/");
    if (separator != std::wstring::npos)
        link->SetWorkingDirectory(GetParentPath(targetPath).c_str());

    if (!iconPath.empty() && GetFileAttributesW(iconPath.c_str()) != INVALID_FILE_ATTRIBUTES)
        link->SetIconLocation(iconPath.c_str(), 0);

    ComPtr<IPersistFile> persist;
    if (FAILED(link.As(&persist)))
        return false;
    const HRESULT saved = persist->Save(linkPath.c_str(), TRUE);
    return SUCCEEDED(saved);
}
