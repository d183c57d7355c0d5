// What the probe medium's stand-in program and ovik-check.exe agree on: the
// names it answers to, and where it records that it ran.
#pragma once

// As the probe medium's client it stays running until it is ended.
inline constexpr wchar_t kStandInClientName[] = L"startClass.exe";

// Below the public profile folder (C:\Users\Public), which every user may
// write to, elevated or not: a planted program that ran leaves
// "<its name>.txt" here, holding its command line.
inline constexpr wchar_t kPlantedMarkerFolder[] = L"\\ovik-check-planted";

// The client ends itself after this long, so that one that nobody ends
// cannot outlive the check by much.
inline constexpr unsigned long kStandInClientLifeMs = 15UL * 60 * 1000;
