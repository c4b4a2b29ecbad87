// A page of the soak: one control reached through IDispatch the way a
// page's script reaches it, and, for the calendar presence control, an event
// subscriber that checks every event it receives and may call back into the
// control from inside the event, as a page's handler may.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/com.h"
#include "platform/wstr.h"
#include "tests/soak/soak_world.h"

namespace soak {

// Calls a method by name with [in] arguments in declared order; the result
// (an [out, retval] value) goes to *result when given.
HRESULT CallByName(IDispatch* control, const WCHAR* name, std::vector<VARIANT> args = {},
                   VARIANT* result = nullptr);

VARIANT LongArg(LONG value);

// Every fault the soak finds goes through here: it is printed at once (the
// first few) and counted.
void Fault(const std::string& text);
long Faults();

class EventSink final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs_); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) override;

  // Called after each event has been checked (the page's handler).
  std::function<void(DISPID)> handler;
  // Whether a meeting with this number was ever in the calendar.
  std::function<bool(long)> knownMeeting;
  // Subjects and locations are "Soak N" and "Room N" (the soak's calendar).
  bool checkSubjects = true;
  std::thread::id pageThread;

  long meetings = 0;  // OnCalDataChanged
  long dones = 0;
  long passwords = 0;  // PasswordAvailable: one per GetCalData, also per quiet tick
  long Refs() const { return refs_; }

 private:
  void CheckMeeting(DISPPARAMS* params);
  long refs_ = 1;
};

class Page {
 public:
  Page() = default;
  ~Page() { Close(); }
  Page(const Page&) = delete;
  Page& operator=(const Page&) = delete;

  // Creates the control and, for the calendar presence, subscribes the sink.
  HRESULT Open(World& world, ControlKind kind);
  // Unsubscribes and lets go of the control (nothing when already gone).
  void Close();
  // The page lets go of the control without unsubscribing, as a page that
  // goes away does; the control's own final release unsubscribes.
  void Drop();
  bool Open() const { return control_ != nullptr; }
  IDispatch* Control() const { return control_; }
  EventSink& Sink() { return sink_; }

  HRESULT Call(const WCHAR* method) { return control_ != nullptr ? CallByName(control_, method) : S_OK; }
  HRESULT SetSiteNull();

 private:
  IDispatch* control_ = nullptr;
  DWORD cookie_ = 0;
  EventSink sink_;
};

}  // namespace soak
