// Resource ids of ZLMTessaro.dll, as the resource compiler reads them. The
// same numbers are in ModuleIds.h for the code; the module tests load every
// resource by the code's ids, so the two lists cannot drift apart unnoticed.
#pragma once

#define IDS_PROJNAME 100
#define IDR_ZLMTESSARO 101
#define IDB_CALPRESENCEAX 102
#define IDR_CALPRESENCEAX 103
#define IDB_ACTIVEMONAX 104
#define IDR_ACTIVEMONAX 105
#define IDB_MAPISEARCHAX 106
#define IDR_MAPISEARCHAX 107
