// First cut: the interface only; the provider is filled in next.
#include "memstore/CalendarFile.h"
#include "memstore/MemStore.h"

namespace memstore {

struct Provider::State {};

const char* OpName(Op) { return "?"; }

Prop Prop::Long(ULONG tag, LONG value) {
  Prop p;
  p.m_tag = tag;
  p.m_scalar = value;
  return p;
}
Prop Prop::Bool(ULONG tag, bool value) { return Long(tag, value ? 1 : 0); }
Prop Prop::Time(ULONG tag, const FILETIME& v) {
  Prop p;
  p.m_tag = tag;
  p.m_scalar = static_cast<LONGLONG>((static_cast<ULONGLONG>(v.dwHighDateTime) << 32) | v.dwLowDateTime);
  return p;
}
Prop Prop::String(ULONG tag, const WString&) { return Long(tag, 0); }
Prop Prop::Binary(ULONG tag, std::vector<BYTE> value) {
  Prop p;
  p.m_tag = tag;
  p.m_data = std::move(value);
  return p;
}
Prop Prop::Strings(ULONG tag, const std::vector<WString>&) { return Long(tag, 0); }
Prop Prop::Error(ULONG tag, SCODE error) { return Long(CHANGE_PROP_TYPE(tag, PT_ERROR), error); }
FILETIME Prop::AsTime() const { return FILETIME{}; }
WString Prop::AsString() const { return {}; }
std::vector<WString> Prop::AsStrings() const { return {}; }

Appointment SingleAppointment(const WString& subject, const FILETIME& start, const FILETIME& end) {
  Appointment a;
  a.subject = subject;
  a.start = start;
  a.end = end;
  a.busyStatus = 2;
  a.recurring = false;
  return a;
}
AddressEntry SmtpUser(const WString&, const WString&) { return {}; }
AddressEntry ExchangeUser(const WString&, const WString&, const std::vector<WString>&) { return {}; }
AddressEntry DistList(const WString&, const WString&, const WString&) { return {}; }

Provider::Provider() : m_state(std::make_shared<State>()) {}
Provider::~Provider() = default;
HRESULT Provider::MAPIInitialize(LPVOID) { return MAPI_E_NOT_INITIALIZED; }
void Provider::MAPIUninitialize() {}
HRESULT Provider::MAPILogonEx(ULONG_PTR, LPTSTR, LPTSTR, ULONG, LPMAPISESSION* s) {
  if (s) *s = nullptr;
  return MAPI_E_NOT_INITIALIZED;
}
SCODE Provider::MAPIAllocateBuffer(ULONG cb, LPVOID* p) { return PortableMapiService::MAPIAllocateBuffer(cb, p); }
SCODE Provider::MAPIAllocateMore(ULONG cb, LPVOID o, LPVOID* p) {
  return PortableMapiService::MAPIAllocateMore(cb, o, p);
}
ULONG Provider::MAPIFreeBuffer(LPVOID p) { return PortableMapiService::MAPIFreeBuffer(p); }
void Provider::PumpNotifications() { Pump(); }
const WCHAR* Provider::ProfileName() { return WSTR("Tessaro"); }
ItemId Provider::Add(const Appointment&, Folder) { return 0; }
void Provider::AddQuietly(const std::vector<Appointment>&, Folder) {}
bool Provider::Modify(ItemId, const Appointment&) { return false; }
bool Provider::Modify(ItemId, const Appointment&, const std::vector<ULONG>&) { return false; }
bool Provider::Delete(ItemId) { return false; }
bool Provider::Move(ItemId, Folder) { return false; }
ItemId Provider::Copy(ItemId, Folder) { return 0; }
void Provider::Clear(Folder) {}
size_t Provider::Count(Folder) const { return 0; }
void Provider::Notify(const std::vector<Event>&) {}
int Provider::Pump() { return 0; }
size_t Provider::PendingNotifications() const { return 0; }
std::vector<Registration> Provider::Registrations() const { return {}; }
std::vector<BYTE> Provider::EntryIdOf(Folder) const { return {}; }
std::vector<BYTE> Provider::EntryIdOf(ItemId) const { return {}; }
std::vector<BYTE> Provider::StoreEntryId(bool) const { return {}; }
void Provider::SetStoreTable(StoreTable) {}
void Provider::SetCalendarLink(bool) {}
LONG Provider::AccessLevel() const { return 1; }
EntryNumber Provider::AddEntry(const AddressEntry&) { return 0; }
std::vector<BYTE> Provider::AddressEntryId(EntryNumber) const { return {}; }
void Provider::SetChooser(Chooser) {}
void Provider::SetErrorInfo(std::optional<ErrorInfo>) {}
void Provider::Fail(Op, HRESULT, int, int) {}
void Provider::Throw(Op, int) {}
void Provider::ClearFailures() {}
int Provider::CallCount(Op) const { return 0; }
std::vector<Call> Provider::Calls() const { return {}; }
void Provider::ClearCalls() {}
int Provider::LiveSessions() const { return 0; }
int Provider::LiveObjects() const { return 0; }
long Provider::LiveBuffers() const { return 0; }

bool ParseCalendar(std::string_view, const std::string& fileName, const FILETIME&, std::vector<Appointment>&,
                   std::string& error) {
  error = fileName + ": not read yet";
  return false;
}
bool LoadCalendarFile(const std::string& path, const FILETIME&, std::vector<Appointment>&, std::string& error) {
  error = path + ": cannot read the file";
  return false;
}
std::string_view DemoCalendarText() { return {}; }

}  // namespace memstore
