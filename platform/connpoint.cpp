// Connection points and event firing.
#include "platform/connpoint.h"

#include <atomic>
#include <memory>
#include <new>

namespace plat {

namespace {

// Copies an event argument. A null string stays null (the system's
// VariantCopy may make it an empty string of its own).
HRESULT CopyArg(VARIANT* dest, VARIANTARG* src) {
  if (src->vt == VT_BSTR) {
    VariantInit(dest);
    dest->vt = VT_BSTR;
    if (src->bstrVal == nullptr) return S_OK;
    dest->bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
    if (dest->bstrVal != nullptr) return S_OK;
    VariantInit(dest);
    return E_OUTOFMEMORY;
  }
  return VariantCopy(dest, src);
}

// A snapshot of items, shared by an enumerator and its clones; it holds one
// reference to each item.
template <class Item>
struct Snapshot {
  std::vector<Item> items;
  ~Snapshot() {
    for (Item& item : items) Unknown(item)->Release();
  }
  static IUnknown* Unknown(const CONNECTDATA& item) { return item.pUnk; }
  static IUnknown* Unknown(IConnectionPoint* item) { return item; }
};

template <class Base, class Item>
class Enumerator final : public Base {
 public:
  Enumerator(const IID& iid, std::shared_ptr<Snapshot<Item>> snapshot, size_t position)
      : iid_(iid), snapshot_(std::move(snapshot)), position_(position) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == iid_) {
      *ppv = static_cast<Base*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* items, ULONG* fetched) override {
    if (items == nullptr || (count != 1 && fetched == nullptr)) return E_POINTER;
    ULONG done = 0;
    const std::vector<Item>& all = snapshot_->items;
    while (done < count && position_ < all.size()) {
      items[done] = all[position_++];
      Snapshot<Item>::Unknown(items[done])->AddRef();
      ++done;
    }
    if (fetched != nullptr) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const size_t left = snapshot_->items.size() - position_;
    if (count > left) {
      position_ = snapshot_->items.size();
      return S_FALSE;
    }
    position_ += count;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Base** ppEnum) override {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = new (std::nothrow) Enumerator(iid_, snapshot_, position_);
    return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
  }

 private:
  std::atomic<ULONG> refs_{1};
  const IID iid_;
  std::shared_ptr<Snapshot<Item>> snapshot_;
  size_t position_;
};

}  // namespace

// ---- ConnectionPoint ------------------------------------------------------------

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* container, REFIID iid)
    : container_(container), iid_(iid) {}

ConnectionPoint::~ConnectionPoint() {
  for (IUnknown*& sink : sinks_) {
    IUnknown* s = sink;
    sink = nullptr;
    if (s != nullptr) s->Release();
  }
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG ConnectionPoint::AddRef() { return container_->AddRef(); }
ULONG ConnectionPoint::Release() { return container_->Release(); }

HRESULT ConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (pIID == nullptr) return E_POINTER;
  *pIID = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (ppCPC == nullptr) return E_POINTER;
  container_->AddRef();
  *ppCPC = container_;
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  if (pdwCookie == nullptr) return E_POINTER;
  *pdwCookie = 0;
  if (pUnkSink == nullptr) return E_POINTER;
  void* queried = nullptr;
  if (FAILED(pUnkSink->QueryInterface(iid_, &queried)) || queried == nullptr) return CONNECT_E_CANNOTCONNECT;
  IUnknown* sink = static_cast<IUnknown*>(queried);
  size_t slot = 0;
  while (slot < sinks_.size() && sinks_[slot] != nullptr) ++slot;
  if (slot == sinks_.size()) {
    try {
      sinks_.push_back(nullptr);
    } catch (const std::bad_alloc&) {
      sink->Release();
      return CONNECT_E_ADVISELIMIT;
    }
  }
  sinks_[slot] = sink;
  *pdwCookie = static_cast<DWORD>(slot + 1);
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD dwCookie) {
  if (dwCookie == 0 || dwCookie > sinks_.size() || sinks_[dwCookie - 1] == nullptr) return CONNECT_E_NOCONNECTION;
  // The slot is emptied before the release, which may call back into us.
  IUnknown* sink = sinks_[dwCookie - 1];
  sinks_[dwCookie - 1] = nullptr;
  sink->Release();
  return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = nullptr;
  try {
    auto snapshot = std::make_shared<Snapshot<CONNECTDATA>>();
    for (size_t slot = 0; slot < sinks_.size(); ++slot) {
      if (sinks_[slot] == nullptr) continue;
      snapshot->items.push_back(CONNECTDATA{sinks_[slot], static_cast<DWORD>(slot + 1)});
      sinks_[slot]->AddRef();
    }
    *ppEnum = new Enumerator<IEnumConnections, CONNECTDATA>(IID_IEnumConnections, std::move(snapshot), 0);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

size_t ConnectionPoint::ConnectionCount() const {
  size_t n = 0;
  for (IUnknown* sink : sinks_)
    if (sink != nullptr) ++n;
  return n;
}

HRESULT ConnectionPoint::Fire(DISPID dispid, const VARIANTARG* args, UINT count, bool withResult) {
  if (count > 0 && args == nullptr) return E_INVALIDARG;
  std::vector<VARIANT> copies;
  try {
    copies.resize(count);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  HRESULT result = S_OK;
  const size_t slots = sinks_.size();
  for (size_t slot = 0; slot < slots && slot < sinks_.size(); ++slot) {
    if (sinks_[slot] == nullptr) continue;
    // The point's interface is a dispatch interface: its vtable is
    // IDispatch's.
    const ComPtr<IDispatch> sink(reinterpret_cast<IDispatch*>(sinks_[slot]));
    for (VARIANT& v : copies) VariantInit(&v);
    HRESULT copied = S_OK;
    for (UINT i = 0; i < count && SUCCEEDED(copied); ++i)
      copied = CopyArg(&copies[i], const_cast<VARIANTARG*>(&args[i]));
    if (FAILED(copied)) {
      for (VARIANT& v : copies) VariantClear(&v);
      return copied;
    }
    DISPPARAMS params = {count > 0 ? copies.data() : nullptr, nullptr, count, 0};
    VARIANT answer;
    VariantInit(&answer);
    result = sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                          withResult ? &answer : nullptr, nullptr, nullptr);
    VariantClear(&answer);
    for (VARIANT& v : copies) VariantClear(&v);
  }
  return result;
}

// ---- ConnectionPointContainer ----------------------------------------------------

HRESULT ConnectionPointContainer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = nullptr;
  try {
    auto snapshot = std::make_shared<Snapshot<IConnectionPoint*>>();
    for (ConnectionPoint* point : points_) {
      snapshot->items.push_back(point);
      point->AddRef();
    }
    *ppEnum = new Enumerator<IEnumConnectionPoints, IConnectionPoint*>(IID_IEnumConnectionPoints,
                                                                        std::move(snapshot), 0);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT ConnectionPointContainer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  if (ppCP == nullptr) return E_POINTER;
  *ppCP = nullptr;
  for (ConnectionPoint* point : points_) {
    if (point->Iid() == riid) {
      point->AddRef();
      *ppCP = point;
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

// ---- EventArgs ------------------------------------------------------------------

EventArgs::~EventArgs() {
  for (VARIANT& v : args_) VariantClear(&v);
}

EventArgs& EventArgs::Long(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  try {
    args_.push_back(v);
  } catch (const std::bad_alloc&) {
    status_ = E_OUTOFMEMORY;
  }
  return *this;
}

EventArgs& EventArgs::String(const WCHAR* text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = text != nullptr ? SysAllocString(text) : nullptr;
  if (text != nullptr && v.bstrVal == nullptr) status_ = E_OUTOFMEMORY;
  try {
    args_.push_back(v);
  } catch (const std::bad_alloc&) {
    SysFreeString(v.bstrVal);
    status_ = E_OUTOFMEMORY;
  }
  return *this;
}

const VARIANTARG* EventArgs::Data() {
  reversed_.assign(args_.rbegin(), args_.rend());
  return reversed_.empty() ? nullptr : reversed_.data();
}

HRESULT EventArgs::FireOn(ConnectionPoint& point, DISPID dispid, bool withResult) {
  if (FAILED(status_)) return status_;
  const VARIANTARG* data = nullptr;
  try {
    data = Data();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return point.Fire(dispid, data, Count(), withResult);
}

}  // namespace plat
