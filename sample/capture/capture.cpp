// The sample capture library, ScreenCapture.ax: the smallest in-process COM
// server that regsvr32 accepts. It serves no class objects; it only writes
// and deletes its class key, so the installer's registration scripts have a
// real library to work on.
#include "sample/capture/capture_registration.h"

#include <windows.h>
#include <olectl.h>

namespace {

// The longest path the platform hands out, with its terminator.
constexpr DWORD kPathCapacity = 32768;

// Full path of this library as it was loaded into `path`; false on failure.
bool GetOwnModulePath(wchar_t (&path)[kPathCapacity]) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&GetOwnModulePath), &self))
        return false;
    // A result that fills the buffer has been truncated.
    const DWORD length = GetModuleFileNameW(self, path, kPathCapacity);
    return length > 0 && length < kPathCapacity;
}

LSTATUS SetString(HKEY key, const wchar_t* name, const wchar_t* value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t)));
}

// Creates or opens `subkey` below `parent` and sets its default value.
LSTATUS WriteKey(HKEY parent, const wchar_t* subkey, const wchar_t* defaultValue, HKEY* key) {
    LSTATUS status = RegCreateKeyExW(parent, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                     nullptr, key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = SetString(*key, nullptr, defaultValue);
        if (status != ERROR_SUCCESS)
            RegCloseKey(*key);
    }
    return status;
}

LSTATUS WriteClassKey(const wchar_t* modulePath) {
    HKEY classKey = nullptr;
    LSTATUS status =
        WriteKey(HKEY_CLASSES_ROOT, kSampleCaptureClsidKey, kSampleCaptureName, &classKey);
    if (status != ERROR_SUCCESS)
        return status;
    HKEY serverKey = nullptr;
    status = WriteKey(classKey, kInprocServerSubkey, modulePath, &serverKey);
    RegCloseKey(classKey);
    if (status != ERROR_SUCCESS)
        return status;
    status = SetString(serverKey, kThreadingModelValue, kSampleCaptureThreadingModel);
    RegCloseKey(serverKey);
    return status;
}

}  // namespace

STDAPI DllRegisterServer() {
    static wchar_t modulePath[kPathCapacity];  // 64 KB, kept off the stack
    if (!GetOwnModulePath(modulePath))
        return SELFREG_E_CLASS;
    const LSTATUS status = WriteClassKey(modulePath);
    if (status != ERROR_SUCCESS) {
        // Leave no half-written class behind.
        RegDeleteTreeW(HKEY_CLASSES_ROOT, kSampleCaptureClsidKey);
        return HRESULT_FROM_WIN32(status);
    }
    return S_OK;
}

STDAPI DllUnregisterServer() {
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, kSampleCaptureClsidKey);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND)
        return S_OK;
    return HRESULT_FROM_WIN32(status);
}

STDAPI DllGetClassObject(REFCLSID, REFIID, LPVOID* object) {
    if (object)
        *object = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    return S_OK;
}
