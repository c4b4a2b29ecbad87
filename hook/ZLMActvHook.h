// The input hook library "ZLMActvHook.dll": its three entry points, looked up
// by these undecorated names, and their types for those who look them up.
#pragma once

#include "platform/wintypes.h"

// Starts watching keyboard and mouse input. Calls are counted: watching goes
// on until as many UninstallHook calls have come. TRUE while watching.
using PFN_InstallHook = BOOL(WINAPI*)();
// Ends one InstallHook; the last one stops watching. TRUE when it did so or
// watching goes on for others.
using PFN_UninstallHook = BOOL(WINAPI*)();
// The time of the last input the library saw (at least the time of the
// first InstallHook), in seconds since 1970-01-01 00:00 UTC cut to 32 bits;
// 0 before any InstallHook.
using PFN_GetTimeStamp = DWORD(WINAPI*)();

#ifdef ZLMACTVHOOK_BUILD
#ifdef _WIN32
#define ZLMACTVHOOK_API extern "C" __declspec(dllexport)
#else
#define ZLMACTVHOOK_API extern "C" __attribute__((visibility("default")))
#endif
ZLMACTVHOOK_API BOOL WINAPI InstallHook();
ZLMACTVHOOK_API BOOL WINAPI UninstallHook();
ZLMACTVHOOK_API DWORD WINAPI GetTimeStamp();
#endif
