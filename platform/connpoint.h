// Connection points of a control's outgoing interfaces, and firing events to
// the subscribers of a dispatch interface.
//
// A control derives from plat::ConnectionPointContainer (its IUnknown
// methods come from the control), keeps one plat::ConnectionPoint member per
// outgoing interface and offers each in its constructor:
//
//   CCalPresenceAX() : m_events(this, DIID__ICalPresenceEvents), ... {
//     OfferConnectionPoint(&m_events);
//   }
//
// The points live inside the control and count their references there.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/com.h"

namespace plat {

class ConnectionPoint final : public IConnectionPoint {
 public:
  // container: the object holding this point; not referenced here.
  ConnectionPoint(IConnectionPointContainer* container, REFIID iid);
  // Releases the subscribers still connected.
  ~ConnectionPoint();
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  // IUnknown: references are the container's.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IConnectionPoint. Advise asks the sink for this point's interface
  // (CONNECT_E_CANNOTCONNECT without it) and keeps that reference in the
  // first empty slot; the cookie is the slot's index plus one.
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

  // Fires an event of a dispatch interface: IDispatch::Invoke(dispid,
  // IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD) on every subscriber, in
  // slot order, the number of slots taken when firing starts, empty slots
  // skipped. args are in DISPPARAMS order (the last declared argument
  // first); each subscriber gets copies of its own, so that nothing a sink
  // does to them reaches the next one. With withResult a result VARIANT is
  // passed and cleared afterwards. Returns the last Invoke's result, S_OK
  // without subscribers, or the copying's failure (the firing then stops).
  HRESULT Fire(DISPID dispid, const VARIANTARG* args, UINT count, bool withResult = true);

  // Slots, for walking them otherwise; a slot holds the sink's reference for
  // this point's interface, or nothing.
  size_t SlotCount() const { return sinks_.size(); }
  IUnknown* SinkAt(size_t slot) const { return slot < sinks_.size() ? sinks_[slot] : nullptr; }
  size_t ConnectionCount() const;
  REFIID Iid() const { return iid_; }

 private:
  IConnectionPointContainer* container_;
  IID iid_;
  std::vector<IUnknown*> sinks_;
};

class ConnectionPointContainer : public IConnectionPointContainer {
 public:
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

 protected:
  ConnectionPointContainer() = default;
  ~ConnectionPointContainer() = default;
  // Offers a point, enumerated in the order offered; it must live as long
  // as the container.
  void OfferConnectionPoint(ConnectionPoint* point) { points_.push_back(point); }

 private:
  std::vector<ConnectionPoint*> points_;
};

// The arguments of an event in their declared order, kept in the reverse
// order DISPPARAMS wants. A text that cannot be copied marks the set failed
// (Status() is E_OUTOFMEMORY) and the event should not be fired.
class EventArgs {
 public:
  EventArgs() = default;
  ~EventArgs();
  EventArgs(const EventArgs&) = delete;
  EventArgs& operator=(const EventArgs&) = delete;

  EventArgs& Long(LONG value);
  // Copied with SysAllocString, so the copy ends at the text's first NUL; a
  // null text is passed as a null BSTR.
  EventArgs& String(const WCHAR* text);

  HRESULT Status() const { return status_; }
  // DISPPARAMS order: the last declared argument first.
  const VARIANTARG* Data();
  UINT Count() const { return static_cast<UINT>(args_.size()); }
  HRESULT FireOn(ConnectionPoint& point, DISPID dispid, bool withResult = true);

 private:
  std::vector<VARIANT> args_;  // declared order
  std::vector<VARIANT> reversed_;
  HRESULT status_ = S_OK;
};

}  // namespace plat
