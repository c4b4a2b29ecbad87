#include "tests/soak/soak_page.h"

#include <cstdio>
#include <mutex>

#include "calpresence/CalPresenceIds.h"

namespace soak {

namespace {
std::atomic<long> g_faults{0};
std::mutex g_printLock;
constexpr long kFaultsPrinted = 20;
constexpr UINT kZoneNameChars = 32;

// "Soak 12" and "Room 12": the meeting's number, or -1.
long NumberAfter(const WString& text, const char* prefix) {
  const WString head = wstr::FromUtf8(prefix);
  if (text.compare(0, head.size(), head) != 0 || text.size() == head.size()) return -1;
  long n = 0;
  for (size_t i = head.size(); i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9' || n > 100000000) return -1;
    n = n * 10 + (text[i] - '0');
  }
  return n;
}

bool Connect(IDispatch* control, IConnectionPoint** point) {
  IConnectionPointContainer* container = nullptr;
  if (FAILED(control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))) ||
      container == nullptr)
    return false;
  const HRESULT hr = container->FindConnectionPoint(DIID__ICalPresenceEvents, point);
  container->Release();
  return SUCCEEDED(hr) && *point != nullptr;
}
}  // namespace

void Fault(const std::string& text) {
  const long n = ++g_faults;
  if (n > kFaultsPrinted) return;
  std::lock_guard<std::mutex> lock(g_printLock);
  std::fprintf(stderr, "soak: FAULT: %s\n", text.c_str());
  std::fflush(stderr);
}

long Faults() { return g_faults.load(); }

VARIANT LongArg(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

HRESULT CallByName(IDispatch* control, const WCHAR* name, std::vector<VARIANT> args, VARIANT* result) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(reinterpret_cast<const OLECHAR*>(name))};
  const HRESULT found = control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(found)) return found;
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());  // the last argument comes first
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  VARIANT ignored;
  VariantInit(&ignored);
  const HRESULT hr = control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                                     result != nullptr ? result : &ignored, nullptr, nullptr);
  VariantClear(&ignored);
  return hr;
}

// ---- the event subscriber ------------------------------------------------------------------

HRESULT EventSink::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__ICalPresenceEvents) {
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT EventSink::GetTypeInfoCount(UINT* count) {
  *count = 0;
  return S_OK;
}

// OnCalDataChanged(start, duration, startHour, startMinute, endHour,
// endMinute, subject, location, zone): every field from one meeting of the
// calendar.
void EventSink::CheckMeeting(DISPPARAMS* params) {
  if (params == nullptr || params->cArgs != 9) {
    Fault("OnCalDataChanged with " + std::to_string(params != nullptr ? params->cArgs : 0) + " arguments");
    return;
  }
  const VARIANT* arg = params->rgvarg;  // arg[8] is the first declared
  for (UINT i = 3; i < 9; ++i) {
    if (arg[i].vt != VT_I4) return Fault("OnCalDataChanged: a number that is not VT_I4");
  }
  for (UINT i = 0; i < 3; ++i) {
    if (arg[i].vt != VT_BSTR) return Fault("OnCalDataChanged: a text that is not a BSTR");
  }
  const LONG startHour = arg[6].lVal, startMinute = arg[5].lVal, endHour = arg[4].lVal, endMinute = arg[3].lVal;
  if (startHour < 0 || startHour > 23 || endHour < 0 || endHour > 23 || startMinute < 0 || startMinute > 59 ||
      endMinute < 0 || endMinute > 59)
    Fault("OnCalDataChanged: hours or minutes out of range");
  if (!checkSubjects) return;
  // A null BSTR is an empty text.
  const WString subject(arg[2].bstrVal != nullptr ? arg[2].bstrVal : WSTR(""), SysStringLen(arg[2].bstrVal));
  const WString location(arg[1].bstrVal != nullptr ? arg[1].bstrVal : WSTR(""), SysStringLen(arg[1].bstrVal));
  const long number = NumberAfter(subject, "Soak ");
  if (number < 0 || NumberAfter(location, "Room ") != number) {
    Fault("OnCalDataChanged: subject \"" + wstr::ToUtf8(subject) + "\" with location \"" + wstr::ToUtf8(location) +
          "\" (fields of two meetings, or a text that is not the calendar's)");
  } else if (knownMeeting && !knownMeeting(number)) {
    Fault("OnCalDataChanged: meeting " + std::to_string(number) + " was never in the calendar");
  }
  if (SysStringLen(arg[0].bstrVal) > kZoneNameChars) Fault("OnCalDataChanged: zone name longer than its field");
}

HRESULT EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT*) {
  if (result != nullptr) VariantInit(result);
  if (std::this_thread::get_id() != pageThread) Fault("an event arrived on a thread other than the page's");
  const UINT args = params != nullptr ? params->cArgs : 0;
  switch (id) {
    case DISPID_CALPRESENCE_ONCALDATACHANGED:
      ++meetings;
      CheckMeeting(params);
      break;
    case DISPID_CALPRESENCE_DONE:
      ++dones;
      if (args != 1 || params->rgvarg[0].vt != VT_I4) Fault("Done without its one number");
      break;
    case DISPID_CALPRESENCE_PASSWORDAVAILABLE:
      ++passwords;
      if (args != 0) Fault("PasswordAvailable with arguments");
      break;
    default:
      Fault("an event of unknown id " + std::to_string(id));
      return S_OK;
  }
  if (handler) handler(id);
  return S_OK;
}

// ---- the page ----------------------------------------------------------------------------------

HRESULT Page::Open(World& world, ControlKind kind) {
  Close();
  sink_.pageThread = std::this_thread::get_id();
  const HRESULT hr = world.Create(kind, &control_);
  if (FAILED(hr) || control_ == nullptr) {
    control_ = nullptr;
    return FAILED(hr) ? hr : E_FAIL;
  }
  if (kind != ControlKind::CalPresence) return S_OK;
  IConnectionPoint* point = nullptr;
  if (!Connect(control_, &point)) return E_FAIL;
  const HRESULT advised = point->Advise(&sink_, &cookie_);
  point->Release();  // held, it would keep the control alive past the page's release
  return advised;
}

void Page::Close() {
  if (control_ == nullptr) return;
  IConnectionPoint* point = nullptr;
  if (cookie_ != 0 && Connect(control_, &point)) {
    point->Unadvise(cookie_);
    point->Release();
  }
  cookie_ = 0;
  Drop();
}

void Page::Drop() {
  IDispatch* control = control_;
  control_ = nullptr;
  cookie_ = 0;
  if (control != nullptr) control->Release();
}

HRESULT Page::SetSiteNull() {
  if (control_ == nullptr) return S_OK;
  IObjectWithSite* site = nullptr;
  if (FAILED(control_->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&site))) || site == nullptr)
    return E_NOINTERFACE;
  const HRESULT hr = site->SetSite(nullptr);
  site->Release();
  return hr;
}

}  // namespace soak
