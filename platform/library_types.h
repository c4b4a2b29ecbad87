// Types of the library, version and last-input services. On Windows they come
// from the SDK headers; elsewhere we declare the same names with the
// published sizes and values.
#pragma once

#include "platform/wintypes.h"

#ifndef _WIN32

// An entry point as GetProcAddress hands it out; callers cast it to the
// entry point's real type.
using FARPROC = std::intptr_t (*)();

struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
};
using LPOSVERSIONINFOW = OSVERSIONINFOW*;

struct OSVERSIONINFOEXW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};
using LPOSVERSIONINFOEXW = OSVERSIONINFOEXW*;

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
#define VER_NT_WORKSTATION 0x0000001

struct LASTINPUTINFO {
  UINT cbSize;
  DWORD dwTime;
};
using PLASTINPUTINFO = LASTINPUTINFO*;

#endif  // _WIN32

static_assert(sizeof(OSVERSIONINFOW) == 276, "the basic version record has 276 bytes");
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "the extended version record has 284 bytes");
static_assert(sizeof(LASTINPUTINFO) == 8, "the last-input record has 8 bytes");
