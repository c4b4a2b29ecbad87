// MAPI's buffer functions and helpers, for the Linux library and for
// providers on both targets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/mapi.h"

namespace plat {

namespace mapi_portable {

namespace {

constexpr std::uint32_t kBufferMagic = 0x4D425546;  // a buffer of its own
constexpr std::uint32_t kMoreMagic = 0x4D4F5245;    // linked to a buffer
constexpr std::uint32_t kFreedMagic = 0x46524545;

// Every block starts with this header; the caller's memory follows it.
struct alignas(std::max_align_t) BlockHeader {
  BlockHeader* root;  // the buffer the block belongs to (itself for a buffer)
  BlockHeader* next;  // a buffer's linked blocks, newest first
  std::uint32_t magic;
};

BlockHeader* HeaderOf(LPVOID p) { return reinterpret_cast<BlockHeader*>(static_cast<char*>(p) - sizeof(BlockHeader)); }
LPVOID DataOf(BlockHeader* h) { return reinterpret_cast<char*>(h) + sizeof(BlockHeader); }

BlockHeader* NewBlock(ULONG cbSize) {
  if (cbSize > std::numeric_limits<size_t>::max() - sizeof(BlockHeader)) return nullptr;
  auto* h = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + cbSize));
  if (h == nullptr) return nullptr;
  h->root = h;
  h->next = nullptr;
  h->magic = kBufferMagic;
  return h;
}

// The buffer that owns a block handed out here, or nullptr.
BlockHeader* RootOf(LPVOID p) {
  if (p == nullptr) return nullptr;
  BlockHeader* h = HeaderOf(p);
  if (h->magic == kBufferMagic) return h;
  if (h->magic == kMoreMagic && h->root != nullptr && h->root->magic == kBufferMagic) return h->root;
  return nullptr;
}

}  // namespace

SCODE AllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
  if (lppBuffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  BlockHeader* h = NewBlock(cbSize);
  if (h == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  *lppBuffer = DataOf(h);
  return S_OK;
}

SCODE AllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  if (lppBuffer == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = nullptr;
  BlockHeader* root = RootOf(lpObject);
  if (root == nullptr) return MAPI_E_INVALID_PARAMETER;
  BlockHeader* h = NewBlock(cbSize);
  if (h == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  h->magic = kMoreMagic;
  h->root = root;
  h->next = root->next;
  root->next = h;
  *lppBuffer = DataOf(h);
  return S_OK;
}

ULONG FreeBuffer(LPVOID lpBuffer) {
  if (lpBuffer == nullptr) return S_OK;
  BlockHeader* root = HeaderOf(lpBuffer);
  if (root->magic != kBufferMagic) return static_cast<ULONG>(MAPI_E_INVALID_PARAMETER);
  BlockHeader* more = root->next;
  while (more != nullptr) {
    BlockHeader* next = more->next;
    more->magic = kFreedMagic;
    std::free(more);
    more = next;
  }
  root->magic = kFreedMagic;
  std::free(root);
  return S_OK;
}

void FreeProws(MapiService& mapi, LPSRowSet lpRows) {
  if (lpRows == nullptr) return;
  for (ULONG i = 0; i < lpRows->cRows; ++i) mapi.MAPIFreeBuffer(lpRows->aRow[i].lpProps);
  mapi.MAPIFreeBuffer(lpRows);
}

void FreePadrlist(MapiService& mapi, LPADRLIST lpAdrlist) {
  if (lpAdrlist == nullptr) return;
  for (ULONG i = 0; i < lpAdrlist->cEntries; ++i) mapi.MAPIFreeBuffer(lpAdrlist->aEntries[i].rgPropVals);
  mapi.MAPIFreeBuffer(lpAdrlist);
}

HRESULT HrQueryAllRows(MapiService& mapi, LPMAPITABLE lpTable, LPSPropTagArray lpPropTags,
                       LPSRestriction lpRestriction, LPSSortOrderSet lpSortOrderSet, LONG crowsMax,
                       LPSRowSet* lppRows) {
  if (lpTable == nullptr || lppRows == nullptr || crowsMax < 0) return MAPI_E_INVALID_PARAMETER;
  *lppRows = nullptr;
  HRESULT hr = S_OK;
  if (lpPropTags != nullptr && FAILED(hr = lpTable->SetColumns(lpPropTags, TBL_BATCH))) return hr;
  if (lpRestriction != nullptr && FAILED(hr = lpTable->Restrict(lpRestriction, TBL_BATCH))) return hr;
  if (lpSortOrderSet != nullptr && FAILED(hr = lpTable->SortTable(lpSortOrderSet, TBL_BATCH))) return hr;
  // A table that cannot seek is read from where it stands.
  lpTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);

  // Rows are read in batches; the rows of all batches end up in one row
  // set, each row keeping its own value buffer.
  constexpr LONG kBatch = 256;
  LPSRowSet all = nullptr;
  for (;;) {
    const ULONG have = all != nullptr ? all->cRows : 0;
    LONG want = kBatch;
    if (crowsMax > 0) {
      // One row beyond the limit tells whether the table is too big.
      const LONG left = crowsMax - static_cast<LONG>(have);
      want = left > 0 ? (left < kBatch ? left : kBatch) : 1;
    }
    LPSRowSet batch = nullptr;
    hr = lpTable->QueryRows(want, 0, &batch);
    if (FAILED(hr)) {
      FreeProws(mapi, batch);
      FreeProws(mapi, all);
      return hr;
    }
    const ULONG got = batch != nullptr ? batch->cRows : 0;
    if (got == 0) {
      FreeProws(mapi, batch);
      break;
    }
    if (crowsMax > 0 && have + got > static_cast<ULONG>(crowsMax)) {
      FreeProws(mapi, batch);
      FreeProws(mapi, all);
      return MAPI_E_TABLE_TOO_BIG;
    }
    if (all == nullptr) {
      all = batch;
      continue;
    }
    LPSRowSet joined = nullptr;
    const size_t bytes = CbNewSRowSet(static_cast<size_t>(have) + got);
    if (bytes > std::numeric_limits<ULONG>::max() ||
        FAILED(hr = mapi.MAPIAllocateBuffer(static_cast<ULONG>(bytes), reinterpret_cast<LPVOID*>(&joined)))) {
      FreeProws(mapi, batch);
      FreeProws(mapi, all);
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    std::memcpy(joined->aRow, all->aRow, sizeof(SRow) * have);
    std::memcpy(joined->aRow + have, batch->aRow, sizeof(SRow) * got);
    joined->cRows = have + got;
    // The rows now belong to the joined set; only the old sets go.
    mapi.MAPIFreeBuffer(all);
    mapi.MAPIFreeBuffer(batch);
    all = joined;
  }
  if (all == nullptr) {
    if (FAILED(hr = mapi.MAPIAllocateBuffer(CbNewSRowSet(0), reinterpret_cast<LPVOID*>(&all))))
      return MAPI_E_NOT_ENOUGH_MEMORY;
    all->cRows = 0;
  }
  *lppRows = all;
  return S_OK;
}

HRESULT HrGetOneProp(MapiService& mapi, LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp) {
  if (lpMapiProp == nullptr || lppProp == nullptr) return MAPI_E_INVALID_PARAMETER;
  *lppProp = nullptr;
  SizedSPropTagArray(1, tags) = {1, {ulPropTag}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  const HRESULT hr = lpMapiProp->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values);
  if (FAILED(hr)) {
    mapi.MAPIFreeBuffer(values);
    return hr;
  }
  if (values == nullptr || count == 0) return MAPI_E_NOT_FOUND;
  if (hr == MAPI_W_ERRORS_RETURNED || PROP_TYPE(values[0].ulPropTag) == PT_ERROR) {
    const SCODE error = PROP_TYPE(values[0].ulPropTag) == PT_ERROR && FAILED(values[0].Value.err)
                            ? values[0].Value.err
                            : MAPI_E_NOT_FOUND;
    mapi.MAPIFreeBuffer(values);
    return error;
  }
  *lppProp = values;
  return S_OK;
}

HRESULT HrSetOneProp(MapiService& mapi, LPMAPIPROP lpMapiProp, LPSPropValue lpProp) {
  if (lpMapiProp == nullptr || lpProp == nullptr) return MAPI_E_INVALID_PARAMETER;
  LPSPropProblemArray problems = nullptr;
  HRESULT hr = lpMapiProp->SetProps(1, lpProp, &problems);
  if (SUCCEEDED(hr) && problems != nullptr && problems->cProblem > 0) hr = problems->aProblem[0].scode;
  mapi.MAPIFreeBuffer(problems);
  return hr;
}

}  // namespace mapi_portable

// ---- PortableMapiService -------------------------------------------------------------

// On Linux the real library is the portable one itself (mapi_linux.cpp).
#ifdef _WIN32

HRESULT PortableMapiService::MAPIInitialize(LPVOID) { return MAPI_E_NOT_INITIALIZED; }
void PortableMapiService::MAPIUninitialize() {}
HRESULT PortableMapiService::MAPILogonEx(ULONG_PTR, LPTSTR, LPTSTR, ULONG, LPMAPISESSION* lppSession) {
  if (lppSession != nullptr) *lppSession = nullptr;
  return MAPI_E_NOT_INITIALIZED;
}
SCODE PortableMapiService::MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
  return mapi_portable::AllocateBuffer(cbSize, lppBuffer);
}
SCODE PortableMapiService::MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  return mapi_portable::AllocateMore(cbSize, lpObject, lppBuffer);
}
ULONG PortableMapiService::MAPIFreeBuffer(LPVOID lpBuffer) { return mapi_portable::FreeBuffer(lpBuffer); }
void PortableMapiService::FreeProws(LPSRowSet lpRows) { mapi_portable::FreeProws(*this, lpRows); }
void PortableMapiService::FreePadrlist(LPADRLIST lpAdrlist) { mapi_portable::FreePadrlist(*this, lpAdrlist); }
HRESULT PortableMapiService::HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags,
                                            LPSRestriction lpRestriction, LPSSortOrderSet lpSortOrderSet,
                                            LONG crowsMax, LPSRowSet* lppRows) {
  return mapi_portable::HrQueryAllRows(*this, lpTable, lpPropTags, lpRestriction, lpSortOrderSet, crowsMax,
                                       lppRows);
}
HRESULT PortableMapiService::HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp) {
  return mapi_portable::HrGetOneProp(*this, lpMapiProp, ulPropTag, lppProp);
}
HRESULT PortableMapiService::HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp) {
  return mapi_portable::HrSetOneProp(*this, lpMapiProp, lpProp);
}
void PortableMapiService::PumpNotifications() {}
#endif  // _WIN32

}  // namespace plat
