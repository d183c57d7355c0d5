#include "checkkit/driver/shortcut_reader.h"

#include <windows.h>
#include <shlobj.h>
#include <wrl/client.h>

ShortcutFields ReadShortcut(const std::wstring& linkPath) {
    ShortcutFields fields;
    const HRESULT init = CoInitialize(nullptr);
    {
        Microsoft::WRL::ComPtr<IShellLinkW> link;
        Microsoft::WRL::ComPtr<IPersistFile> persist;
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_PPV_ARGS(link.GetAddressOf()))) &&
            SUCCEEDED(link.As(&persist)) && SUCCEEDED(persist->Load(linkPath.c_str(), STGM_READ))) {
            wchar_t text[MAX_PATH] = {};
            fields.loaded = true;
            link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
            fields.target = text;
            text[0] = L'\0';
            link->GetWorkingDirectory(text, MAX_PATH);
            fields.workingFolder = text;
            text[0] = L'\0';
            link->GetIconLocation(text, MAX_PATH, &fields.iconIndex);
            fields.iconPath = text;
        }
    }
    if (SUCCEEDED(init))
        CoUninitialize();
    return fields;
}
