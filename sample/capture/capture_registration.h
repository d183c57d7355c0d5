// The registry entry of the sample capture library, ScreenCapture.ax: a COM
// class whose in-process server is the library itself. Its
// DllRegisterServer writes the class key below HKEY_CLASSES_ROOT and
// DllUnregisterServer deletes it again.
#pragma once

inline constexpr wchar_t kSampleCaptureClsid[] = L"{1319644C-372F-4198-A580-3D994827A67B}";

// Key below HKEY_CLASSES_ROOT; its default value is kSampleCaptureName.
inline constexpr wchar_t kSampleCaptureClsidKey[] =
    L"CLSID\\{1319644C-372F-4198-A580-3D994827A67B}";
inline constexpr wchar_t kSampleCaptureName[] = L"OVIK sample screen capture";

// Sub-key of the class key: default value = the library's full path, plus
// the value kThreadingModelValue = kSampleCaptureThreadingModel.
inline constexpr wchar_t kInprocServerSubkey[] = L"InprocServer32";
inline constexpr wchar_t kThreadingModelValue[] = L"ThreadingModel";
inline constexpr wchar_t kSampleCaptureThreadingModel[] = L"Apartment";
