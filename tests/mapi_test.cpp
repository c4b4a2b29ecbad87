#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/mapi.h"

#ifdef _WIN32
// Our Linux declarations carry the published values; the SDK is the judge.
TEST(MapiValues, MatchTheSdk) {
  struct Case {
    const char* name;
    ULONG ours;
    ULONG sdk;
  };
  const Case cases[] = {
#define MAPI_TYPE(name, value) Case{#name, ULONG(value), ULONG(name)},
#define MAPI_TAG(name, type, id) Case{#name, ULONG(PROP_TAG(type, id)), ULONG(name)},
#define MAPI_STRING_TAG(name, id)                                   \
  Case{#name, ULONG(PROP_TAG(PT_UNICODE, id)), ULONG(name)},        \
      Case{#name "_W", ULONG(PROP_TAG(PT_UNICODE, id)), ULONG(name##_W)}, \
      Case{#name "_A", ULONG(PROP_TAG(PT_STRING8, id)), ULONG(name##_A)},
#define MAPI_CODE(name, value) Case{#name, ULONG(value##u), ULONG(name)},
#define MAPI_ULONG(name, value) Case{#name, ULONG(value), ULONG(name)},
#define MAPI_LONG(name, value) Case{#name, ULONG(value), ULONG(name)},
#define MAPI_OLEGUID(name, l) Case{#name, ULONG(l), ULONG(name.Data1)},
#include "platform/mapi_values.inc"
#undef MAPI_TYPE
#undef MAPI_TAG
#undef MAPI_STRING_TAG
#undef MAPI_CODE
#undef MAPI_ULONG
#undef MAPI_LONG
#undef MAPI_OLEGUID
  };
  for (const Case& c : cases) EXPECT_EQ(c.ours, c.sdk) << c.name;
  const GUID oleTail = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  EXPECT_EQ(0, std::memcmp(oleTail.Data4, IID_IMAPIFolder.Data4, 8));
  EXPECT_EQ(0, IID_IMAPIFolder.Data2 | IID_IMAPIFolder.Data3);
}
#endif

TEST(MapiValues, TagsTheSystemNamesExplicitly) {
  EXPECT_EQ(0x36D00102u, ULONG(PR_IPM_APPOINTMENT_ENTRYID));
  EXPECT_EQ(0x800F101Fu, ULONG(PR_EMS_AB_PROXY_ADDRESSES));
  EXPECT_EQ(0x39FE001Fu, ULONG(PR_SMTP_ADDRESS));
  EXPECT_EQ(0x3400000Bu, ULONG(PR_DEFAULT_STORE));
  EXPECT_EQ(0x0037001Fu, ULONG(PR_SUBJECT_W));
  EXPECT_EQ(0x80028028u, ULONG(MAPI_UNICODE | MAPI_PASSWORD_UI | MAPI_NO_MAIL | MAPI_EXTENDED | MAPI_ALLOW_OTHERS));
  EXPECT_EQ(0x7Cu, ULONG(fnevObjectCreated | fnevObjectDeleted | fnevObjectModified | fnevObjectMoved |
                         fnevObjectCopied));
  EXPECT_EQ("{00062002-0000-0000-C000-000000000046}", wstr::ToUtf8(plat::GuidText(PSETID_Appointment)));
  EXPECT_EQ("{00062008-0000-0000-C000-000000000046}", wstr::ToUtf8(plat::GuidText(PSETID_Common)));
}

TEST(MapiBuffers, LinkedBlocksGoWithTheirBuffer) {
  namespace mb = plat::mapi_portable;
  LPVOID buffer = nullptr, more = nullptr, further = nullptr;
  ASSERT_EQ(S_OK, mb::AllocateBuffer(24, &buffer));
  ASSERT_EQ(S_OK, mb::AllocateMore(100, buffer, &more));
  // A block may also be linked through another linked block.
  ASSERT_EQ(S_OK, mb::AllocateMore(8, more, &further));
  for (LPVOID p : {buffer, more, further})
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t));
  std::memset(more, 0xAB, 100);
  // A linked block is not a buffer of its own.
  EXPECT_EQ(ULONG(MAPI_E_INVALID_PARAMETER), mb::FreeBuffer(more));
  EXPECT_EQ(0u, mb::FreeBuffer(buffer));
  EXPECT_EQ(0u, mb::FreeBuffer(nullptr));

  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, mb::AllocateBuffer(8, nullptr));
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, mb::AllocateMore(8, nullptr, &more));
  EXPECT_EQ(nullptr, more);
}

namespace {

// Counts the buffers freed through it.
class CountingMapi : public plat::PortableMapiService {
 public:
  ULONG MAPIFreeBuffer(LPVOID p) override {
    if (p != nullptr) ++freed;
    return PortableMapiService::MAPIFreeBuffer(p);
  }
  int freed = 0;
};

// Allocates a row set of single PT_LONG rows through the current service.
LPSRowSet MakeRows(const std::vector<LONG>& values) {
  plat::MapiService& mapi = plat::Mapi();
  LPSRowSet rows = nullptr;
  mapi.MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(values.size())), reinterpret_cast<LPVOID*>(&rows));
  rows->cRows = static_cast<ULONG>(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    LPSPropValue value = nullptr;
    mapi.MAPIAllocateBuffer(sizeof(SPropValue), reinterpret_cast<LPVOID*>(&value));
    value->ulPropTag = PROP_TAG(PT_LONG, 0x6600);
    value->dwAlignPad = 0;
    value->Value.l = values[i];
    rows->aRow[i].ulAdrEntryPad = 0;
    rows->aRow[i].cValues = 1;
    rows->aRow[i].lpProps = value;
  }
  return rows;
}

// A table of numbers that hands out at most `batch` rows per QueryRows.
class FakeTable final : public IMAPITable {
 public:
  FakeTable(std::vector<LONG> values, LONG batch) : values_(std::move(values)), batch_(batch) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE GetStatus(ULONG*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE SetColumns(LPSPropTagArray tags, ULONG flags) override {
    columns = tags->cValues;
    columnFlags = flags;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryColumns(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE GetRowCount(ULONG, ULONG* count) override {
    *count = static_cast<ULONG>(values_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SeekRow(BOOKMARK origin, LONG count, LONG*) override {
    if (origin == BOOKMARK_BEGINNING && count == 0) position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SeekRowApprox(ULONG, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE QueryPosition(ULONG*, ULONG*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE FindRow(LPSRestriction, BOOKMARK, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE Restrict(LPSRestriction restriction, ULONG) override {
    restricted = restriction->rt == RES_PROPERTY;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateBookmark(BOOKMARK*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE FreeBookmark(BOOKMARK) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE SortTable(LPSSortOrderSet, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE QuerySortOrder(LPSSortOrderSet*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE QueryRows(LONG count, ULONG, LPSRowSet* rows) override {
    ++queries;
    std::vector<LONG> part;
    while (static_cast<LONG>(part.size()) < count && static_cast<LONG>(part.size()) < batch_ &&
           position_ < values_.size())
      part.push_back(values_[position_++]);
    *rows = MakeRows(part);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Abort() override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT STDMETHODCALLTYPE CollapseRow(ULONG, LPBYTE, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE WaitForCompletion(ULONG, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT STDMETHODCALLTYPE SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override {
    return MAPI_E_NO_SUPPORT;
  }

  ULONG columns = 0;
  ULONG columnFlags = 0;
  bool restricted = false;
  int queries = 0;

 private:
  std::vector<LONG> values_;
  LONG batch_;
  size_t position_ = 7;  // not at the start: the helper must seek
};

// An object with one property, PR_ACCESS_LEVEL, as a store has it.
class FakeProp final : public IMAPIProp {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE SaveChanges(ULONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values) override {
    LPSPropValue v = nullptr;
    plat::Mapi().MAPIAllocateBuffer(sizeof(SPropValue), reinterpret_cast<LPVOID*>(&v));
    *count = 1;
    *values = v;
    if (tags->aulPropTag[0] == PR_ACCESS_LEVEL) {
      v->ulPropTag = PR_ACCESS_LEVEL;
      v->Value.l = level;
      return S_OK;
    }
    v->ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tags->aulPropTag[0]));
    v->Value.err = MAPI_E_NOT_FOUND;
    return MAPI_W_ERRORS_RETURNED;
  }
  HRESULT STDMETHODCALLTYPE GetPropList(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT STDMETHODCALLTYPE SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override {
    if (problems != nullptr) *problems = nullptr;
    if (count != 1) return MAPI_E_INVALID_PARAMETER;
    if (values[0].ulPropTag == PR_ACCESS_LEVEL) {
      level = values[0].Value.l;
      return S_OK;
    }
    if (problems != nullptr) {
      plat::Mapi().MAPIAllocateBuffer(CbNewSPropProblemArray(1), reinterpret_cast<LPVOID*>(problems));
      (*problems)->cProblem = 1;
      (*problems)->aProblem[0] = SPropProblem{0, values[0].ulPropTag, MAPI_E_NO_ACCESS};
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                                   LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT STDMETHODCALLTYPE CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                                      LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT STDMETHODCALLTYPE GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT STDMETHODCALLTYPE GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override {
    return MAPI_E_NO_SUPPORT;
  }

  LONG level = 1;
};

std::vector<LONG> Values(LPSRowSet rows) {
  std::vector<LONG> out;
  for (ULONG i = 0; i < rows->cRows; ++i) out.push_back(rows->aRow[i].lpProps[0].Value.l);
  return out;
}

}  // namespace

TEST(MapiService, RowSetsAndAddressListsAreFreedWhole) {
  CountingMapi mapi;
  plat::Substitute<plat::MapiService> installed(mapi);
  ASSERT_EQ(&mapi, &plat::Mapi());
  plat::Mapi().FreeProws(MakeRows({1, 2, 3}));
  EXPECT_EQ(4, mapi.freed);

  mapi.freed = 0;
  LPADRLIST list = nullptr;
  mapi.MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(2)), reinterpret_cast<LPVOID*>(&list));
  list->cEntries = 2;
  for (ULONG i = 0; i < 2; ++i) {
    list->aEntries[i].cValues = 0;
    list->aEntries[i].rgPropVals = nullptr;
  }
  mapi.MAPIAllocateBuffer(sizeof(SPropValue), reinterpret_cast<LPVOID*>(&list->aEntries[1].rgPropVals));
  plat::Mapi().FreePadrlist(list);
  EXPECT_EQ(2, mapi.freed);  // the list and the one entry with values
  plat::Mapi().FreeProws(nullptr);
}

TEST(MapiService, QueryAllRowsGathersEveryBatch) {
  plat::PortableMapiService mapi;
  plat::Substitute<plat::MapiService> installed(mapi);
  FakeTable table({10, 20, 30, 40, 50}, 2);
  SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
  SPropValue isTrue{};
  isTrue.ulPropTag = PR_DEFAULT_STORE;
  isTrue.Value.b = 1;
  SRestriction restriction{};
  restriction.rt = RES_PROPERTY;
  restriction.res.resProperty = SPropertyRestriction{RELOP_EQ, PR_DEFAULT_STORE, &isTrue};

  LPSRowSet rows = nullptr;
  ASSERT_EQ(S_OK, mapi.HrQueryAllRows(&table, reinterpret_cast<LPSPropTagArray>(&columns), &restriction, nullptr,
                                      0, &rows));
  EXPECT_EQ((std::vector<LONG>{10, 20, 30, 40, 50}), Values(rows));
  EXPECT_EQ(1u, table.columns);
  EXPECT_EQ(ULONG(TBL_BATCH), table.columnFlags);
  EXPECT_TRUE(table.restricted);
  mapi.FreeProws(rows);

  // A limit the table exceeds fails; one it meets does not.
  FakeTable two({1, 2}, 5);
  EXPECT_EQ(MAPI_E_TABLE_TOO_BIG, mapi.HrQueryAllRows(&two, nullptr, nullptr, nullptr, 1, &rows));
  EXPECT_EQ(nullptr, rows);
  ASSERT_EQ(S_OK, mapi.HrQueryAllRows(&two, nullptr, nullptr, nullptr, 2, &rows));
  EXPECT_EQ((std::vector<LONG>{1, 2}), Values(rows));
  mapi.FreeProws(rows);

  FakeTable none({}, 5);
  ASSERT_EQ(S_OK, mapi.HrQueryAllRows(&none, nullptr, nullptr, nullptr, 1, &rows));
  ASSERT_NE(nullptr, rows);
  EXPECT_EQ(0u, rows->cRows);
  mapi.FreeProws(rows);
}

// The property helpers behave alike in the portable library and in the
// real one (mapi32.dll under Wine), which also shows that the real one is
// found and its exports resolve.
TEST(MapiService, OnePropertyHelpers) {
  plat::PortableMapiService portable;
  for (plat::MapiService* service : {static_cast<plat::MapiService*>(&portable), &plat::Mapi()}) {
    plat::Substitute<plat::MapiService> installed(*service);
    plat::MapiService& mapi = plat::Mapi();
    FakeProp store;
    LPSPropValue value = nullptr;
    ASSERT_EQ(S_OK, mapi.HrGetOneProp(&store, PR_ACCESS_LEVEL, &value));
    ASSERT_NE(nullptr, value);
    EXPECT_EQ(1, value->Value.l);
    value->Value.l = 2;
    EXPECT_EQ(S_OK, mapi.HrSetOneProp(&store, value));
    EXPECT_EQ(2, store.level);
    mapi.MAPIFreeBuffer(value);

    value = reinterpret_cast<LPSPropValue>(&store);
    EXPECT_EQ(MAPI_E_NOT_FOUND, mapi.HrGetOneProp(&store, PR_IPM_APPOINTMENT_ENTRYID, &value));
    EXPECT_EQ(nullptr, value);

    // A refused value is reported (the Wine library does not ask for the
    // problems, so only ours is held to it).
    if (service == &portable) {
      SPropValue other{};
      other.ulPropTag = PR_SUBJECT_W;
      EXPECT_EQ(MAPI_E_NO_ACCESS, mapi.HrSetOneProp(&store, &other));
    }

    LPVOID buffer = nullptr, more = nullptr;
    ASSERT_EQ(S_OK, mapi.MAPIAllocateBuffer(16, &buffer));
    ASSERT_EQ(S_OK, mapi.MAPIAllocateMore(16, buffer, &more));
    EXPECT_EQ(0u, mapi.MAPIFreeBuffer(buffer));
  }
}

#ifndef _WIN32
TEST(MapiService, WithoutAProviderThereIsNoSession) {
  plat::MapiService& mapi = plat::Mapi();
  EXPECT_EQ(MAPI_E_NOT_INITIALIZED, mapi.MAPIInitialize(nullptr));
  LPMAPISESSION session = reinterpret_cast<LPMAPISESSION>(&mapi);
  EXPECT_EQ(MAPI_E_NOT_INITIALIZED, mapi.MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED, &session));
  EXPECT_EQ(nullptr, session);
}
#endif
