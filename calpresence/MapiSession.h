// The control's MAPI session: the default store, the change registration on
// the calendar folder and the sink that receives its notifications.
#pragma once

#include <atomic>

#include "platform/mapi.h"

// Receives the calendar's change notifications and runs an update pass on
// the current control. It keeps the session and store it was made for
// without references and does not use them.
class CMAPIAdviseSink final : public IMAPIAdviseSink {
 public:
  CMAPIAdviseSink(IMAPISession* session, IMsgStore* store) : m_pSession(session), m_pStore(store) {}
  CMAPIAdviseSink(const CMAPIAdviseSink&) = delete;
  CMAPIAdviseSink& operator=(const CMAPIAdviseSink&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  ULONG STDMETHODCALLTYPE OnNotify(ULONG cNotif, LPNOTIFICATION lpNotifications) override;

  IMAPISession* Session() const { return m_pSession; }
  IMsgStore* Store() const { return m_pStore; }

 private:
  ~CMAPIAdviseSink() = default;

  std::atomic<LONG> m_refs{1};
  IMAPISession* m_pSession;
  IMsgStore* m_pStore;
};

// Opens the session's default store and registers the sink for changes of
// its calendar folder; fills m_pStore, m_pNotifyStore, m_pCalendarEntryID,
// m_pCalendarFolder, m_pAdviseSink and m_ulConnection of the control as far
// as it gets. Always 0.
HRESULT SetAdvice(IMAPISession* session);

// Events the calendar registration asks for: created, deleted, modified,
// moved and copied objects.
constexpr ULONG kCalendarEventMask = 0x7C;
// MAPI_UNICODE | MAPI_PASSWORD_UI | MAPI_NO_MAIL | MAPI_EXTENDED | MAPI_ALLOW_OTHERS
constexpr ULONG kLogonFlags = 0x80028028;
