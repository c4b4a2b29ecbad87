// TessaroMemMapi.dll behind Wine's mapi32.dll: the library calls of the
// product's MAPI service (plat::Mapi(), which loads mapi32.dll) reach the
// in-memory provider, buffers go back where they came from, and a change
// made through the provider is delivered on this thread by its message loop.
// The program registers the provider as the mail client before its first
// MAPI call; TESSARO_MEMMAPI_DLL names the library (a Unix path).
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/mapi.h"
#include "wine/mail_client.h"

namespace {

constexpr ULONG kLogonFlags = MAPI_EXTENDED | MAPI_UNICODE | MAPI_NO_MAIL | MAPI_NEW_SESSION;

class RecordingSink : public IMAPIAdviseSink {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IMAPIAdviseSink) {
      *ppv = static_cast<IMAPIAdviseSink*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  ULONG STDMETHODCALLTYPE OnNotify(ULONG count, LPNOTIFICATION notifications) override {
    ++calls;
    thread = ::GetCurrentThreadId();
    if (count > 0) lastEvent = notifications[0].ulEventType;
    return 0;
  }

  std::atomic<ULONG> refs{1};
  int calls = 0;
  DWORD thread = 0;
  ULONG lastEvent = 0;
};

void PumpMessages(DWORD milliseconds) {
  const DWORD start = ::GetTickCount();
  do {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    ::Sleep(10);
  } while (::GetTickCount() - start < milliseconds);
}

std::wstring WriteCalendar(const char* text) {
  wchar_t dir[MAX_PATH], path[MAX_PATH];
  ::GetTempPathW(MAX_PATH, dir);
  ::GetTempFileNameW(dir, L"cal", 0, path);
  FILE* f = _wfopen(path, L"wb");
  std::fputs(text, f);
  std::fclose(f);
  return path;
}

// The calendar folder of the default store, found the way the product finds
// it: the stores table restricted to the default store, the receive folder,
// its PR_IPM_APPOINTMENT_ENTRYID.
IMAPIFolder* OpenCalendar(plat::MapiService& mapi, IMAPISession* session, IMsgStore** storeOut,
                          LPSPropValue* calendarIdOut) {
  LPMAPITABLE stores = nullptr;
  EXPECT_EQ(S_OK, session->GetMsgStoresTable(0, &stores));
  SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
  SPropValue isDefault{};
  isDefault.ulPropTag = PR_DEFAULT_STORE;
  isDefault.Value.b = TRUE;
  SRestriction restriction{};
  restriction.rt = RES_PROPERTY;
  restriction.res.resProperty.relop = RELOP_EQ;
  restriction.res.resProperty.ulPropTag = PR_DEFAULT_STORE;
  restriction.res.resProperty.lpProp = &isDefault;
  LPSRowSet rows = nullptr;
  EXPECT_EQ(S_OK, mapi.HrQueryAllRows(stores, reinterpret_cast<LPSPropTagArray>(&columns), &restriction, nullptr,
                                      1, &rows));
  stores->Release();
  if (rows == nullptr || rows->cRows != 1) return nullptr;
  IMsgStore* store = nullptr;
  const SBinary& storeId = rows->aRow[0].lpProps[0].Value.bin;
  EXPECT_EQ(S_OK, session->OpenMsgStore(0, storeId.cb, reinterpret_cast<LPENTRYID>(storeId.lpb), &IID_IMsgStore,
                                        MDB_NO_DIALOG, &store));
  mapi.FreeProws(rows);
  if (store == nullptr) return nullptr;

  ULONG inboxIdSize = 0, type = 0;
  LPENTRYID inboxId = nullptr;
  EXPECT_EQ(S_OK, store->GetReceiveFolder(nullptr, 0, &inboxIdSize, &inboxId, nullptr));
  IMAPIFolder* inbox = nullptr;
  EXPECT_EQ(S_OK, store->OpenEntry(inboxIdSize, inboxId, &IID_IMAPIFolder, MAPI_BEST_ACCESS, &type,
                                   reinterpret_cast<LPUNKNOWN*>(&inbox)));
  mapi.MAPIFreeBuffer(inboxId);
  LPSPropValue calendarId = nullptr;
  EXPECT_EQ(S_OK, mapi.HrGetOneProp(inbox, PR_IPM_APPOINTMENT_ENTRYID, &calendarId));
  inbox->Release();
  IMAPIFolder* calendar = nullptr;
  if (calendarId != nullptr) {
    EXPECT_EQ(S_OK, store->OpenEntry(calendarId->Value.bin.cb, reinterpret_cast<LPENTRYID>(calendarId->Value.bin.lpb),
                                     &IID_IMAPIFolder, MAPI_BEST_ACCESS, &type, reinterpret_cast<LPUNKNOWN*>(&calendar)));
  }
  *storeOut = store;
  *calendarIdOut = calendarId;
  return calendar;
}

ULONG CountItems(IMAPIFolder* folder) {
  LPMAPITABLE contents = nullptr;
  if (FAILED(folder->GetContentsTable(0, &contents))) return 0xFFFFFFFF;
  ULONG count = 0;
  contents->GetRowCount(0, &count);
  contents->Release();
  return count;
}

TEST(MemMapi, ServesTheCalendarThroughMapi32AndDeliversChangesOnTheMessageLoop) {
  const std::wstring library = e2e::PathFromEnvironment("TESSARO_MEMMAPI_DLL");
  ASSERT_FALSE(library.empty()) << "TESSARO_MEMMAPI_DLL is not set";
  e2e::MailClient client(library);
  ASSERT_TRUE(client.ok());
  const std::wstring calendarFile = WriteCalendar(
      "[appointment]\nsubject = Review\nstart = now-10m\nend = now+50m\nbusy = busy\n"
      "[appointment]\nsubject = Later\nstart = now+2h\nend = now+3h\nbusy = busy\n");
  ::SetEnvironmentVariableW(L"TESSARO_MEMMAPI_CALENDAR", calendarFile.c_str());

  plat::MapiService& mapi = plat::Mapi();
  ASSERT_EQ(S_OK, mapi.MAPIInitialize(nullptr));
  IMAPISession* session = nullptr;
  ASSERT_EQ(S_OK, mapi.MAPILogonEx(0, nullptr, nullptr, kLogonFlags, &session));
  ASSERT_NE(nullptr, session);

  IMsgStore* store = nullptr;
  LPSPropValue calendarId = nullptr;
  IMAPIFolder* calendar = OpenCalendar(mapi, session, &store, &calendarId);
  ASSERT_NE(nullptr, calendar);
  EXPECT_EQ(2u, CountItems(calendar));

  RecordingSink sink;
  ULONG connection = 0;
  ASSERT_EQ(S_OK, store->Advise(calendarId->Value.bin.cb, reinterpret_cast<LPENTRYID>(calendarId->Value.bin.lpb),
                                fnevObjectCreated | fnevObjectModified | fnevObjectDeleted, &sink, &connection));

  using AddMeetings = LONG(WINAPI*)(LPCWSTR);
  HMODULE provider = ::GetModuleHandleW(L"TessaroMemMapi.dll");
  ASSERT_NE(nullptr, provider) << "mapi32.dll did not load the provider";
  const auto add = reinterpret_cast<AddMeetings>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(provider, "TessaroMemAddMeetings")));
  ASSERT_NE(nullptr, add);
  EXPECT_EQ(-1, add(L"[appointment]\nstart = not a time\n"));
  EXPECT_EQ(1, add(L"[appointment]\nsubject = Added\nstart = now-5m\nend = now+25m\nbusy = busy\n"));
  EXPECT_EQ(3u, CountItems(calendar));

  // Nothing arrives before the message loop runs; then it arrives on this thread.
  EXPECT_EQ(0, sink.calls);
  PumpMessages(300);
  EXPECT_EQ(1, sink.calls);
  EXPECT_EQ(::GetCurrentThreadId(), sink.thread);
  EXPECT_EQ(static_cast<ULONG>(fnevObjectCreated), sink.lastEvent);

  EXPECT_EQ(S_OK, store->Unadvise(connection));
  EXPECT_EQ(1u, sink.refs.load());
  mapi.MAPIFreeBuffer(calendarId);
  calendar->Release();
  store->Release();
  EXPECT_EQ(S_OK, session->Logoff(0, 0, 0));
  session->Release();
  mapi.MAPIUninitialize();
  ::DeleteFileW(calendarFile.c_str());
}

TEST(MemMapi, WithoutTheProviderTheLogonFails) {
  e2e::MailClient client(L"");
  ASSERT_TRUE(client.ok());
  plat::MapiService& mapi = plat::Mapi();
  mapi.MAPIInitialize(nullptr);
  IMAPISession* session = nullptr;
  EXPECT_TRUE(FAILED(mapi.MAPILogonEx(0, nullptr, nullptr, kLogonFlags, &session)));
  EXPECT_EQ(nullptr, session);
}

}  // namespace
