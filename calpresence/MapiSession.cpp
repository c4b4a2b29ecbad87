// Logon, SetAdvice, the notification sink, Logout and Cleanup.
#include "calpresence/MapiSession.h"

#include "calendar/CalendarScan.h"
#include "calpresence/CalPresenceAX.h"
#include "calpresence/CalPresenceLog.h"

namespace {

constexpr ULONG kAccessLevel = 2;

// How deep the logon retry of the current thread is nested (see Logon).
thread_local int t_logonRetryDepth = 0;

class RetryDepth {
 public:
  RetryDepth() { ++t_logonRetryDepth; }
  ~RetryDepth() { --t_logonRetryDepth; }
  RetryDepth(const RetryDepth&) = delete;
  RetryDepth& operator=(const RetryDepth&) = delete;
};

template <class T>
void ReleaseObject(T* object) {
  if (object != nullptr) object->Release();
}

// Teardown shared by Logout and Cleanup. Each pointer is taken out of the
// class-wide state before what it refers to is released, so that a teardown
// on the watcher thread and one on the page's thread never release the same
// object twice.
void TearDown() {
  if (IMsgStore* store = CCalPresenceAX::m_pNotifyStore.exchange(nullptr)) {
    store->Unadvise(CCalPresenceAX::m_ulConnection.load());
    store->Release();
  }
  ReleaseObject(CCalPresenceAX::m_pCalendarFolder.exchange(nullptr));
  if (LPSPropValue entryId = CCalPresenceAX::m_pCalendarEntryID.exchange(nullptr)) {
    plat::Mapi().MAPIFreeBuffer(entryId);
  }
  ReleaseObject(CCalPresenceAX::m_pAdviseSink.exchange(nullptr));
  CCalPresenceAX::m_pStore.store(nullptr);  // its reference went with m_pNotifyStore
}

// Logs the session off; false when there was none.
bool LogOff() {
  IMAPISession* session = CCalPresenceAX::m_pSession.exchange(nullptr);
  if (session == nullptr) return false;
  session->Logoff(0, 0, 0);
  session->Release();
  return true;
}

// The teardown and the logoff in one step under the session lock, so that
// a pass never finds the store gone but the session still there; true when
// there was a session.
bool EndSession() {
  const std::lock_guard<std::recursive_mutex> serialised(CCalPresenceAX::SessionLock());
  TearDown();
  return LogOff();
}

void RunPassOnCurrentControl() {
  const CalPresenceRef current = CCalPresenceAX::CurrentControl();
  if (current) current->GetCalData();
}

}  // namespace

// ---- Logon ---------------------------------------------------------------------------

HRESULT CCalPresenceAX::GetCalEntries(IMAPISession* session, IMsgStore* store) {
  return ::GetCalEntries(session, store, m_meetingTable);
}

// The session, the store and what hangs off them are shared with the
// watcher thread, whose Logout tears them down when the mail client ends.
// A pass holds the session lock from its logon until the calendar is
// registered again, and the teardown takes the same lock: a Logout that
// comes while a pass scans waits until the pass is done with the store, and
// then tears everything down once. Where no pass runs nothing changes: the
// teardown takes the lock at once. The lock is recursive, since a MAPI
// call that runs a modal loop may let the page start a nested pass on the
// same thread; the nested logon retry runs without it.
std::recursive_mutex& CCalPresenceAX::SessionLock() {
  static std::recursive_mutex lock;
  return lock;
}

HRESULT CCalPresenceAX::Logon() {
  CP_LOG(this, LOG_MAJOR, WSTR("Tessaro INFO  :: CCalPresenceAX::Logon(575): Logging on to MAPI"));
  {
    const std::lock_guard<std::recursive_mutex> pass(SessionLock());
    OpenSession();
    // The pass's own reference: the store outlives even a teardown run from
    // inside one of the calls below on this thread.
    const ComPtr<IMsgStore> store(m_pNotifyStore.load());
    if (store) return ScanAndRegister(store.Get());
  }

  // No store: try again in 20 seconds, which the tick below makes at once.
  // The retry nests a whole pass inside this one; after a few nested
  // attempts that failed the rest is left to the page's next tick (the
  // countdown of 20 seconds then makes that tick run a pass).
  m_whenToClear.store(20);
  if (t_logonRetryDepth < kMaxNestedLogonRetries) {
    const CalPresenceRef current = CurrentControl();
    if (current) {
      RetryDepth nested;
      current->CheckProcessChange();
    }
  }
  return S_OK;
}

void CCalPresenceAX::OpenSession() {
  if (m_pSession.load() == nullptr) {
    if (m_mapiInitResult.load() == -1) {
      CP_LOG(this, LOG_DETAIL, WSTR("Tessaro INFO  :: CCalPresenceAX::Logon(580): MAPI Initialize"));
      m_mapiInitResult.store(plat::Mapi().MAPIInitialize(nullptr));
    }
    if (m_mapiInitResult.load() != 0) {
      CP_LOG(this, LOG_ERROR,
             WSTR("Tessaro ERROR :: CCalPresenceAX::Logon(586): MAPIInitialize failed will try again later"));
      m_mapiInitResult.store(-1);
    } else {
      CP_LOG(this, LOG_DETAIL, WSTR("Tessaro INFO  :: CCalPresenceAX::Logon(593): Trying to logon"));
      IMAPISession* session = nullptr;
      const HRESULT hr = plat::Mapi().MAPILogonEx(0, nullptr, nullptr, kLogonFlags, &session);
      if (hr == S_OK) {
        m_pSession.store(session);
        // Whoever holds a session is doing work, whatever a Logout before
        // the lock was taken said: Quit and the final release end it.
        m_doingWork.store(1);
      } else {
        ReleaseObject(session);  // a failed logon hands out nothing to keep
        CP_LOG(this, LOG_ERROR,
               WSTR("Tessaro ERROR :: CCalPresenceAX::Logon(604): Logon failed will try again later"));
      }
    }
  }

  IMAPISession* session = m_pSession.load();
  if (session != nullptr && m_pStore.load() == nullptr) SetAdvice(session);
}

HRESULT CCalPresenceAX::ScanAndRegister(IMsgStore* store) {
  CP_LOG(this, LOG_DETAIL, WSTR("Tessaro INFO  :: CCalPresenceAX::Logon(622): Releasing Advise Sink"));
  store->Unadvise(m_ulConnection.load());

  const HRESULT result = GetCalEntries(m_pSession.load(), store);

  LPSPropValue entryId = m_pCalendarEntryID.load();
  if (entryId == nullptr) return result;

  CP_LOG(this, LOG_DETAIL, WSTR("Tessaro INFO  :: CCalPresenceAX::Logon(628): Registering for Advise Sink"));
  ULONG connection = 0;
  const HRESULT hr = store->Advise(entryId->Value.bin.cb, reinterpret_cast<LPENTRYID>(entryId->Value.bin.lpb),
                                   kCalendarEventMask, m_pAdviseSink.load(), &connection);
  m_ulConnection.store(connection);
  if (FAILED(hr)) {
    CP_LOG(this, LOG_ERROR, WSTR("Tessaro ERROR :: CCalPresenceAX::Logon(635): m_pNotifyStore->Advice failed"));
  }
  return hr;
}

// ---- SetAdvice ------------------------------------------------------------------------

HRESULT SetAdvice(IMAPISession* session) {
  plat::MapiService& mapi = plat::Mapi();
  CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: SetAdvice(1180): SetAdvice"));

  LPMAPITABLE table = nullptr;
  if (FAILED(session->GetMsgStoresTable(0, &table)) || table == nullptr) return 0;
  CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: SetAdvice(1196): GetMsgStoreTable succeeded"));

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
  if (SUCCEEDED(mapi.HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), &restriction, nullptr, 1,
                                    &rows))) {
    CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: SetAdvice(1202): HrQueryAllRows succeeded"));
    if (rows == nullptr || rows->cRows == 0 || rows->aRow[0].cValues == 0 || rows->aRow[0].lpProps == nullptr ||
        rows->aRow[0].lpProps[0].ulPropTag != PR_ENTRYID) {
      CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: SetAdvice(1297): Empty MsgStore"));
    } else {
      const SBinary& storeId = rows->aRow[0].lpProps[0].Value.bin;
      CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: SetAdvice(1208): Calling OpenMsgStore"));
      IMsgStore* store = nullptr;
      HRESULT opened = E_FAIL;
      try {
        opened = session->OpenMsgStore(0, storeId.cb, reinterpret_cast<LPENTRYID>(storeId.lpb), &IID_IMsgStore, 0,
                                       &store);
      } catch (...) {
        CP_LOG_CURRENT(LOG_ERROR,
                       WSTR("Tessaro ERROR :: SetAdvice(1214): Caught an Exception trying to open msg store"));
        opened = E_FAIL;
        store = nullptr;
      }
      CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: SetAdvice(1216): Called OpenMsgStore"));
      if (FAILED(opened)) {
        ReleaseObject(store);
        store = nullptr;
      }
      CCalPresenceAX::m_pStore.store(store);
      if (store != nullptr) {
        CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: SetAdvice(1220): OpenMsgStore succeeded"));
        LPSPropValue access = nullptr;
        mapi.HrGetOneProp(store, PR_ACCESS_LEVEL, &access);
        if (access != nullptr) {
          access->Value.l = kAccessLevel;
          mapi.HrSetOneProp(store, access);
          mapi.MAPIFreeBuffer(access);
          access = nullptr;
          mapi.HrGetOneProp(store, PR_ACCESS_LEVEL, &access);
          if (access != nullptr) mapi.MAPIFreeBuffer(access);
        }

        LPSPropValue calendarId = nullptr;
        ULONG inboxIdSize = 0;
        LPENTRYID inboxId = nullptr;
        if (SUCCEEDED(store->GetReceiveFolder(nullptr, 0, &inboxIdSize, &inboxId, nullptr))) {
          CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: SetAdvice(1233): GetReceiveFolder succeeded"));
          ULONG type = 0;
          IMAPIFolder* inbox = nullptr;
          if (FAILED(store->OpenEntry(inboxIdSize, inboxId, &IID_IMAPIFolder, MAPI_BEST_ACCESS, &type,
                                      reinterpret_cast<LPUNKNOWN*>(&inbox))) ||
              inbox == nullptr) {
            mapi.MAPIFreeBuffer(inboxId);
          } else {
            CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: SetAdvice(1238): OpenEntry succeeded"));
            if (SUCCEEDED(mapi.HrGetOneProp(inbox, PR_IPM_APPOINTMENT_ENTRYID, &calendarId)) &&
                calendarId != nullptr) {
              CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: SetAdvice(1242): HrGetOneProp succeeded"));
              IMAPIFolder* calendar = nullptr;
              if (SUCCEEDED(store->OpenEntry(calendarId->Value.bin.cb,
                                             reinterpret_cast<LPENTRYID>(calendarId->Value.bin.lpb),
                                             &IID_IMAPIFolder, MAPI_BEST_ACCESS, &type,
                                             reinterpret_cast<LPUNKNOWN*>(&calendar))) &&
                  calendar != nullptr) {
                CCalPresenceAX::m_pCalendarFolder.store(calendar);
                CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: SetAdvice(1248): OpenEntry succeeded"));
                auto* sink = new CMAPIAdviseSink(session, store);
                CCalPresenceAX::m_pAdviseSink.store(sink);
                IMAPIAdviseSink* queried = nullptr;
                if (FAILED(sink->QueryInterface(IID_IMAPIAdviseSink, reinterpret_cast<void**>(&queried))) ||
                    queried == nullptr) {
                  CP_LOG_CURRENT(LOG_ERROR,
                                 WSTR("Tessaro ERROR :: SetAdvice(1255): NotifySink query interface failed"));
                  CCalPresenceAX::m_pAdviseSink.store(nullptr);
                  sink->Release();
                } else {
                  CP_LOG_CURRENT(LOG_INFO,
                                 WSTR("Tessaro INFO  :: SetAdvice(1258): Registering Advise Sink to CNotify"));
                  ULONG connection = 0;
                  const HRESULT advised =
                      store->Advise(calendarId->Value.bin.cb, reinterpret_cast<LPENTRYID>(calendarId->Value.bin.lpb),
                                    kCalendarEventMask, queried, &connection);
                  CCalPresenceAX::m_ulConnection.store(connection);
                  queried->Release();
                  if (FAILED(advised)) {
                    CP_LOG_CURRENT(LOG_ERROR, WSTR("Tessaro ERROR :: SetAdvice(1275): pStore->Advice failed"));
                  } else {
                    CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: SetAdvice(1279): pStore->Advice succeeded"));
                  }
                }
              }
            } else {
              calendarId = nullptr;
            }
            CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: SetAdvice(1285): Releasing pMailBox"));
            inbox->Release();
            mapi.MAPIFreeBuffer(inboxId);
          }
        }
        CCalPresenceAX::m_pNotifyStore.store(store);
        CCalPresenceAX::m_pCalendarEntryID.store(calendarId);
      }
    }
    CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: SetAdvice(1299): Freeing pRows"));
    if (rows != nullptr) mapi.FreeProws(rows);
  }
  CP_LOG_CURRENT(LOG_DETAIL, WSTR("Tessaro INFO  :: SetAdvice(1303): Releasing pStoreTable"));
  table->Release();
  return 0;
}

// ---- the notification sink --------------------------------------------------------------

HRESULT CMAPIAdviseSink::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IMAPIAdviseSink) {
    *ppv = static_cast<IMAPIAdviseSink*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CMAPIAdviseSink::AddRef() { return static_cast<ULONG>(m_refs.fetch_add(1) + 1); }

ULONG CMAPIAdviseSink::Release() {
  const LONG left = m_refs.fetch_sub(1) - 1;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

ULONG CMAPIAdviseSink::OnNotify(ULONG cNotif, LPNOTIFICATION lpNotifications) {
  if (cNotif == 0 || lpNotifications == nullptr) return S_OK;
  // The pass run from here re-registers this sink; it stays alive until the
  // notification has been handled.
  AddRef();
  const NOTIFICATION& notification = lpNotifications[0];  // only the first is looked at
  CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: CMAPIAdviseSink::OnNotify(55): In OnNotify"));
  CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: CMAPIAdviseSink::OnNotify(56): Event Type= %d"),
                 static_cast<int>(notification.ulEventType));
  switch (notification.ulEventType) {
    case fnevCriticalError:
      CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: CMAPIAdviseSink::OnNotify(63): Critical Error"));
      break;
    case fnevNewMail:
      CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: CMAPIAdviseSink::OnNotify(66): New Mail"));
      break;
    case fnevObjectCreated:
    case fnevObjectDeleted:
    case fnevObjectModified: {
      const OBJECT_NOTIFICATION& object = notification.info.obj;
      CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: CMAPIAdviseSink::OnNotify(71): Object Type= %ld"),
                     static_cast<LONG>(object.ulObjType));
      if (object.ulObjType != MAPI_MESSAGE && object.ulObjType != MAPI_FOLDER) break;
      const SPropTagArray* tags = object.lpPropTagArray;
      if (tags == nullptr) {
        RunPassOnCurrentControl();
        break;
      }
      for (ULONG i = 0; i < tags->cValues; ++i) {
        CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: CMAPIAdviseSink::OnNotify(82): Property Id= 0x%x"),
                       static_cast<unsigned>(tags->aulPropTag[i]));
        if (tags->aulPropTag[i] == PR_IPM_APPOINTMENT_ENTRYID) {
          RunPassOnCurrentControl();
          break;
        }
      }
      break;
    }
    case fnevObjectMoved:
      CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: CMAPIAdviseSink::OnNotify(97): Object Moved"));
      break;
    case fnevObjectCopied:
      CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: CMAPIAdviseSink::OnNotify(100): Object Copied"));
      break;
    case fnevTableModified:
      CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: CMAPIAdviseSink::OnNotify(103): Table Modified"));
      break;
    case fnevExtended:
      CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: CMAPIAdviseSink::OnNotify(61): Extended event type"));
      CP_LOG_CURRENT(LOG_INFO, WSTR("Tessaro INFO  :: CMAPIAdviseSink::OnNotify(63): Critical Error"));
      break;
    default:
      break;
  }
  Release();
  return S_OK;
}

// ---- Logout and Cleanup ---------------------------------------------------------------------

HRESULT CCalPresenceAX::Logout() { return LogoutSession(this); }

HRESULT CCalPresenceAX::LogoutSession(CCalPresenceAX* logAs) {
  CP_LOG(logAs, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::Logout(335): Start Logout"));
  m_doingWork.store(0);
  if (EndSession()) {
    CP_LOG(logAs, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::Logout(384): Done with Logout"));
  } else {
    CP_LOG(logAs, LOG_ERROR, WSTR("Tessaro ERROR :: CCalPresenceAX::Logout(380): No valid Session"));
  }
  return S_OK;
}

HRESULT CCalPresenceAX::Cleanup() {
  CP_LOG(this, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::Cleanup(271): Start Cleanup"));
  m_doingWork.store(0);
  m_processFound.store(0);
  if (EndSession()) {
    CP_LOG(this, LOG_MAJOR, WSTR("Tessaro INFO  :: CCalPresenceAX::Cleanup(313): Cleaned up; Released MAPI Session"));
  } else {
    CP_LOG(this, LOG_MAJOR,
           WSTR("Tessaro INFO  :: CCalPresenceAX::Cleanup(317): Cleaned up; no MAPI Session to Release"));
  }
  CP_LOG(this, LOG_INFO, WSTR("Tessaro INFO  :: CCalPresenceAX::Cleanup(326): Done with Cleanup"));
  return S_OK;
}
