// The window of the sample client, startClass.exe: what tests look for.
#pragma once

inline constexpr wchar_t kSampleClientWindowClass[] = L"OVIKSampleClientWnd";
inline constexpr wchar_t kSampleClientWindowTitle[] = L"OVIK client (sample)";
