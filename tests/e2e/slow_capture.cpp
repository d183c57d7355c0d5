// A stand-in for the sample capture library whose registration takes 5 s:
// only then does DllRegisterServer write the sample's class key, with this
// library as its server.
#include "sample/capture/capture_registration.h"

#include <windows.h>
#include <olectl.h>

#include <string>

STDAPI DllRegisterServer() {
    Sleep(5000);
    HMODULE self = nullptr;
    wchar_t path[MAX_PATH] = {};
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&DllRegisterServer), &self))
        return SELFREG_E_CLASS;
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return SELFREG_E_CLASS;
    const std::wstring server = std::wstring(kSampleCaptureClsidKey) + L"\\" + kInprocServerSubkey;
    const LSTATUS status = RegSetKeyValueW(HKEY_CLASSES_ROOT, server.c_str(), nullptr, REG_SZ, path,
                                           (length + 1) * sizeof(wchar_t));
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}
