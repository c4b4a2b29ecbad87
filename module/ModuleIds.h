// Identities of the module itself: its AppID and the type library's LIBID.
// The registry scripts, the type library source and the class table use the
// same values; the classes' own ids live beside each control.
#pragma once

#include "platform/com.h"

// {D32F83E4-FF1A-41E7-B746-42D3959E02A8}
TESSARO_DEFINE_GUID(APPID_ZLMTessaro, 0xD32F83E4, 0xFF1A, 0x41E7, 0xB7, 0x46, 0x42, 0xD3, 0x95, 0x9E, 0x02, 0xA8);
// {F7875DC0-0946-43A9-972C-84902983A666}
TESSARO_DEFINE_GUID(LIBID_TessaroLib, 0xF7875DC0, 0x0946, 0x43A9, 0x97, 0x2C, 0x84, 0x90, 0x29, 0x83, 0xA6, 0x66);

// The type library's version and locale.
constexpr WORD kTessaroLibMajor = 1;
constexpr WORD kTessaroLibMinor = 0;
constexpr LCID kTessaroLibLocale = 0x0409;

// Resource ids of the module.
constexpr int IDS_PROJNAME = 100;
constexpr int IDR_ZLMTESSARO = 101;
constexpr int IDB_CALPRESENCEAX = 102;
constexpr int IDR_CALPRESENCEAX = 103;
constexpr int IDB_ACTIVEMONAX = 104;
constexpr int IDR_ACTIVEMONAX = 105;
constexpr int IDB_MAPISEARCHAX = 106;
constexpr int IDR_MAPISEARCHAX = 107;
