// The MAPI library on Windows: mapi32.dll, loaded at the first call and kept
// for the life of the process (MAPI is never unloaded).
#include "platform/mapi.h"

// The MAPI interface identifiers are defined here, once.
#include <initguid.h>
#define USES_IID_IMAPISession
#define USES_IID_IMAPITable
#define USES_IID_IMAPIAdviseSink
#define USES_IID_IMAPIProp
#define USES_IID_IProfSect
#define USES_IID_IMAPIStatus
#define USES_IID_IMsgStore
#define USES_IID_IMessage
#define USES_IID_IAttachment
#define USES_IID_IAddrBook
#define USES_IID_IMailUser
#define USES_IID_IMAPIContainer
#define USES_IID_IMAPIFolder
#define USES_IID_IABContainer
#define USES_IID_IDistList
#define USES_IID_IMAPIProgress
#include <mapiguid.h>

namespace plat {

namespace {

using FreeProwsFn = void(STDAPICALLTYPE*)(LPSRowSet);
using FreePadrlistFn = void(STDAPICALLTYPE*)(LPADRLIST);
using HrQueryAllRowsFn = HRESULT(STDAPICALLTYPE*)(LPMAPITABLE, LPSPropTagArray, LPSRestriction, LPSSortOrderSet,
                                                  LONG, LPSRowSet*);
using HrGetOnePropFn = HRESULT(STDAPICALLTYPE*)(LPMAPIPROP, ULONG, LPSPropValue*);
using HrSetOnePropFn = HRESULT(STDAPICALLTYPE*)(LPMAPIPROP, LPSPropValue);

// The library's entry points; any of them may be missing.
struct Mapi32 {
  HMODULE module = nullptr;
  LPMAPIINITIALIZE initialize = nullptr;
  LPMAPIUNINITIALIZE uninitialize = nullptr;
  LPMAPILOGONEX logonEx = nullptr;
  LPMAPIALLOCATEBUFFER allocateBuffer = nullptr;
  LPMAPIALLOCATEMORE allocateMore = nullptr;
  LPMAPIFREEBUFFER freeBuffer = nullptr;
  FreeProwsFn freeProws = nullptr;
  FreePadrlistFn freePadrlist = nullptr;
  HrQueryAllRowsFn hrQueryAllRows = nullptr;
  HrGetOnePropFn hrGetOneProp = nullptr;
  HrSetOnePropFn hrSetOneProp = nullptr;
};

// Looks an export up by its plain name, then by its stdcall-decorated one
// (the utility functions are exported only in that form).
template <class Fn>
Fn Export(HMODULE module, const char* plain, const char* decorated) {
  FARPROC p = ::GetProcAddress(module, plain);
  if (p == nullptr) p = ::GetProcAddress(module, decorated);
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(p));
}

Mapi32 Load() {
  Mapi32 lib;
  lib.module = ::LoadLibraryW(L"mapi32.dll");
  if (lib.module == nullptr) return lib;
  lib.initialize = Export<LPMAPIINITIALIZE>(lib.module, "MAPIInitialize", "MAPIInitialize@4");
  lib.uninitialize = Export<LPMAPIUNINITIALIZE>(lib.module, "MAPIUninitialize", "MAPIUninitialize@0");
  lib.logonEx = Export<LPMAPILOGONEX>(lib.module, "MAPILogonEx", "MAPILogonEx@20");
  lib.allocateBuffer = Export<LPMAPIALLOCATEBUFFER>(lib.module, "MAPIAllocateBuffer", "MAPIAllocateBuffer@8");
  lib.allocateMore = Export<LPMAPIALLOCATEMORE>(lib.module, "MAPIAllocateMore", "MAPIAllocateMore@12");
  lib.freeBuffer = Export<LPMAPIFREEBUFFER>(lib.module, "MAPIFreeBuffer", "MAPIFreeBuffer@4");
  lib.freeProws = Export<FreeProwsFn>(lib.module, "FreeProws@4", "FreeProws");
  lib.freePadrlist = Export<FreePadrlistFn>(lib.module, "FreePadrlist@4", "FreePadrlist");
  lib.hrQueryAllRows = Export<HrQueryAllRowsFn>(lib.module, "HrQueryAllRows@24", "HrQueryAllRows");
  lib.hrGetOneProp = Export<HrGetOnePropFn>(lib.module, "HrGetOneProp@12", "HrGetOneProp");
  lib.hrSetOneProp = Export<HrSetOnePropFn>(lib.module, "HrSetOneProp@8", "HrSetOneProp");
  return lib;
}

const Mapi32& Library() {
  static const Mapi32 lib = Load();
  return lib;
}

}  // namespace

// Without the library (or one of its exports) a call fails with
// MAPI_E_NOT_INITIALIZED, as on a platform without MAPI.

HRESULT MapiService::MAPIInitialize(LPVOID lpMapiInit) {
  const auto fn = Library().initialize;
  return fn != nullptr ? fn(lpMapiInit) : MAPI_E_NOT_INITIALIZED;
}

void MapiService::MAPIUninitialize() {
  if (const auto fn = Library().uninitialize) fn();
}

HRESULT MapiService::MAPILogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR lpszPassword, ULONG ulFlags,
                                 LPMAPISESSION* lppSession) {
  const auto fn = Library().logonEx;
  if (fn == nullptr) {
    if (lppSession != nullptr) *lppSession = nullptr;
    return MAPI_E_NOT_INITIALIZED;
  }
  return fn(ulUIParam, lpszProfileName, lpszPassword, ulFlags, lppSession);
}

SCODE MapiService::MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
  const auto fn = Library().allocateBuffer;
  if (fn == nullptr) {
    if (lppBuffer != nullptr) *lppBuffer = nullptr;
    return MAPI_E_NOT_INITIALIZED;
  }
  return fn(cbSize, lppBuffer);
}

SCODE MapiService::MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  const auto fn = Library().allocateMore;
  if (fn == nullptr) {
    if (lppBuffer != nullptr) *lppBuffer = nullptr;
    return MAPI_E_NOT_INITIALIZED;
  }
  return fn(cbSize, lpObject, lppBuffer);
}

ULONG MapiService::MAPIFreeBuffer(LPVOID lpBuffer) {
  const auto fn = Library().freeBuffer;
  return fn != nullptr ? fn(lpBuffer) : 0;
}

void MapiService::FreeProws(LPSRowSet lpRows) {
  if (const auto fn = Library().freeProws) fn(lpRows);
}

void MapiService::FreePadrlist(LPADRLIST lpAdrlist) {
  if (const auto fn = Library().freePadrlist) fn(lpAdrlist);
}

HRESULT MapiService::HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                                    LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows) {
  const auto fn = Library().hrQueryAllRows;
  if (fn == nullptr) {
    if (lppRows != nullptr) *lppRows = nullptr;
    return MAPI_E_NOT_INITIALIZED;
  }
  return fn(lpTable, lpPropTags, lpRestriction, lpSortOrderSet, crowsMax, lppRows);
}

HRESULT MapiService::HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp) {
  const auto fn = Library().hrGetOneProp;
  if (fn == nullptr) {
    if (lppProp != nullptr) *lppProp = nullptr;
    return MAPI_E_NOT_INITIALIZED;
  }
  return fn(lpMapiProp, ulPropTag, lppProp);
}

HRESULT MapiService::HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp) {
  const auto fn = Library().hrSetOneProp;
  return fn != nullptr ? fn(lpMapiProp, lpProp) : MAPI_E_NOT_INITIALIZED;
}

void MapiService::PumpNotifications() {}

}  // namespace plat
