// Where the planted taskkill.exe of the end-to-end tests leaves its trace.
#pragma once

inline constexpr wchar_t kPlantedMarker[] = L"C:\\ovik-e2e-planted-taskkill-ran.txt";
