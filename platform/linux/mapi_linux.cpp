// The MAPI library on Linux: no message store of its own (a provider is
// installed through the seam); buffers and helpers are the portable ones.
#include "platform/mapi.h"

namespace plat {

HRESULT MapiService::MAPIInitialize(LPVOID) { return MAPI_E_NOT_INITIALIZED; }
void MapiService::MAPIUninitialize() {}
HRESULT MapiService::MAPILogonEx(ULONG_PTR, LPTSTR, LPTSTR, ULONG, LPMAPISESSION* lppSession) {
  if (lppSession != nullptr) *lppSession = nullptr;
  return MAPI_E_NOT_INITIALIZED;
}
SCODE MapiService::MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
  return mapi_portable::AllocateBuffer(cbSize, lppBuffer);
}
SCODE MapiService::MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  return mapi_portable::AllocateMore(cbSize, lpObject, lppBuffer);
}
ULONG MapiService::MAPIFreeBuffer(LPVOID lpBuffer) { return mapi_portable::FreeBuffer(lpBuffer); }
void MapiService::FreeProws(LPSRowSet lpRows) { mapi_portable::FreeProws(*this, lpRows); }
void MapiService::FreePadrlist(LPADRLIST lpAdrlist) { mapi_portable::FreePadrlist(*this, lpAdrlist); }
HRESULT MapiService::HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                                    LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows) {
  return mapi_portable::HrQueryAllRows(*this, lpTable, lpPropTags, lpRestriction, lpSortOrderSet, crowsMax,
                                       lppRows);
}
HRESULT MapiService::HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp) {
  return mapi_portable::HrGetOneProp(*this, lpMapiProp, ulPropTag, lppProp);
}
HRESULT MapiService::HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp) {
  return mapi_portable::HrSetOneProp(*this, lpMapiProp, lpProp);
}
void MapiService::PumpNotifications() {}

}  // namespace plat
