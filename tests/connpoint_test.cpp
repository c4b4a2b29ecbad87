#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/connpoint.h"
#include "tests/com_fakes.h"

using com_fakes::U8;

namespace {

TESSARO_DEFINE_GUID(DIID_TestEvents, 0x7C3E0F10, 0x5D21, 0x4A66, 0xB0, 0x4E, 0x19, 0x8A, 0x2F, 0x63, 0x70, 0x02);

// A control with one outgoing dispatch interface and the property-notify
// point.
class Source final : public plat::ConnectionPointContainer {
 public:
  Source() : events(this, DIID_TestEvents), notify(this, IID_IPropertyNotifySink) {
    OfferConnectionPoint(&events);
    OfferConnectionPoint(&notify);
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IConnectionPointContainer) {
      *ppv = static_cast<IConnectionPointContainer*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  ULONG refs = 1;
  plat::ConnectionPoint events;
  plat::ConnectionPoint notify;
};

// A page's event sink: records what it is told.
class Sink final : public IDispatch {
 public:
  explicit Sink(const char* name, std::vector<std::string>* log, bool offersEvents = true)
      : name_(name), log_(log), offersEvents_(offersEvents) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || (offersEvents_ && riid == DIID_TestEvents)) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    std::string line = name_ + ":" + std::to_string(id) + (result != nullptr ? "+r" : "");
    if (flags != DISPATCH_METHOD) line += "!flags";
    for (UINT i = 0; i < params->cArgs; ++i) {
      const VARIANT& v = params->rgvarg[i];
      if (v.vt == VT_I4) line += " " + std::to_string(v.lVal);
      else if (v.vt == VT_BSTR) line += " '" + U8(v.bstrVal) + "'(" + std::to_string(SysStringLen(v.bstrVal)) + ")";
      else line += " ?";
    }
    log_->push_back(line);
    // A sink may spoil its arguments; the next sink must not notice.
    for (UINT i = 0; i < params->cArgs; ++i) VariantClear(&params->rgvarg[i]);
    if (onInvoke) onInvoke();
    return answer;
  }

  ULONG refs = 1;
  HRESULT answer = S_OK;
  std::function<void()> onInvoke;

 private:
  std::string name_;
  std::vector<std::string>* log_;
  bool offersEvents_;
};

}  // namespace

TEST(ConnectionPoints, AdviseAndUnadviseUseSlotCookies) {
  // Sinks outlive the source, as their references keep them alive in COM.
  std::vector<std::string> log;
  Sink first("a", &log), second("b", &log), stranger("x", &log, false);
  Source source;
  DWORD cookie = 77;
  EXPECT_EQ(CONNECT_E_CANNOTCONNECT, source.events.Advise(&stranger, &cookie));
  EXPECT_EQ(0u, cookie);
  EXPECT_EQ(1u, stranger.refs);

  DWORD c1 = 0, c2 = 0;
  ASSERT_EQ(S_OK, source.events.Advise(&first, &c1));
  ASSERT_EQ(S_OK, source.events.Advise(&second, &c2));
  EXPECT_EQ(1u, c1);
  EXPECT_EQ(2u, c2);
  EXPECT_EQ(2u, first.refs);

  EXPECT_EQ(S_OK, source.events.Unadvise(c1));
  EXPECT_EQ(1u, first.refs);
  EXPECT_EQ(CONNECT_E_NOCONNECTION, source.events.Unadvise(c1));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, source.events.Unadvise(0));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, source.events.Unadvise(3));
  // The emptied slot is the next one taken.
  DWORD c3 = 0;
  ASSERT_EQ(S_OK, source.events.Advise(&first, &c3));
  EXPECT_EQ(1u, c3);
  EXPECT_EQ(2u, source.events.ConnectionCount());
}

TEST(ConnectionPoints, FiringReachesEverySinkWithArgumentsLastFirst) {
  std::vector<std::string> log;
  Sink a("a", &log), b("b", &log), c("c", &log);
  Source source;
  DWORD ca = 0, cb = 0, cc = 0;
  source.events.Advise(&a, &ca);
  source.events.Advise(&b, &cb);
  source.events.Advise(&c, &cc);
  source.events.Unadvise(cb);

  const WCHAR cut[] = {'s', 'u', 'b', 0, 'x', 0};
  plat::EventArgs args;
  args.Long(-900).String(cut).String(nullptr);
  c.answer = E_FAIL;
  EXPECT_EQ(E_FAIL, args.FireOn(source.events, 1));
  ASSERT_EQ(2u, log.size());
  // rgvarg[0] is the last declared argument; a text ends at its first NUL.
  EXPECT_EQ("a:1+r '(null)'(0) 'sub'(3) -900", log[0]);
  EXPECT_EQ("c:1+r '(null)'(0) 'sub'(3) -900", log[1]);
  EXPECT_EQ(2u, a.refs);  // the firing's own references are gone

  log.clear();
  plat::EventArgs one;
  one.Long(7);
  c.answer = S_OK;
  EXPECT_EQ(S_OK, one.FireOn(source.events, 2, false));
  EXPECT_EQ((std::vector<std::string>{"a:2 7", "c:2 7"}), log);
}

TEST(ConnectionPoints, FiringSurvivesSinksLeavingAndJoining) {
  std::vector<std::string> log;
  Sink a("a", &log), b("b", &log), late("late", &log), later("later", &log);
  Source source;
  DWORD ca = 0, cb = 0, clate = 0, clater = 0;
  source.events.Advise(&a, &ca);
  source.events.Advise(&b, &cb);
  // While the event is delivered the first sink unsubscribes the second and
  // subscribes two more: the first newcomer takes the emptied slot and is
  // reached, the second lies beyond the slots counted at the start.
  a.onInvoke = [&] {
    if (clate != 0) return;
    source.events.Unadvise(cb);
    source.events.Advise(&late, &clate);
    source.events.Advise(&later, &clater);
  };
  EXPECT_EQ(S_OK, source.events.Fire(3, nullptr, 0));
  EXPECT_EQ((std::vector<std::string>{"a:3+r", "late:3+r"}), log);
  EXPECT_EQ(2u, clate);
  EXPECT_EQ(3u, clater);
  EXPECT_EQ(1u, b.refs);

  Source empty;
  EXPECT_EQ(S_OK, empty.events.Fire(3, nullptr, 0));
}

TEST(ConnectionPoints, ContainerFindsAndListsItsPoints) {
  Source source;
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(S_OK, source.FindConnectionPoint(DIID_TestEvents, point.Receive()));
  EXPECT_EQ(static_cast<IConnectionPoint*>(&source.events), point.Get());
  EXPECT_EQ(2u, source.refs);  // a point's references are its container's
  ComPtr<IConnectionPointContainer> back;
  ASSERT_EQ(S_OK, point->GetConnectionPointContainer(back.Receive()));
  EXPECT_EQ(static_cast<IConnectionPointContainer*>(&source), back.Get());
  EXPECT_EQ(CONNECT_E_NOCONNECTION, source.FindConnectionPoint(IID_IDispatch, point.Receive()));
  back.Reset();

  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(S_OK, source.EnumConnectionPoints(points.Receive()));
  IConnectionPoint* got[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, points->Next(3, got, &fetched));
  ASSERT_EQ(2u, fetched);
  IID iid;
  got[1]->GetConnectionInterface(&iid);
  EXPECT_TRUE(IsEqualGUID(IID_IPropertyNotifySink, iid));
  got[0]->Release();
  got[1]->Release();
  EXPECT_EQ(E_POINTER, points->Next(2, got, nullptr));
  points.Reset();
  EXPECT_EQ(1u, source.refs);
}

TEST(ConnectionPoints, EnumerationListsCurrentSubscribers) {
  std::vector<std::string> log;
  Sink a("a", &log), b("b", &log);
  {
    Source source;
    DWORD ca = 0, cb = 0;
    source.events.Advise(&a, &ca);
    source.events.Advise(&b, &cb);
    source.events.Unadvise(ca);
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(S_OK, source.events.EnumConnections(connections.Receive()));
    CONNECTDATA data[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, connections->Next(2, data, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_EQ(2u, data[0].dwCookie);
    data[0].pUnk->Release();

    ComPtr<IEnumConnections> clone;
    connections->Reset();
    ASSERT_EQ(S_OK, connections->Clone(clone.Receive()));
    EXPECT_EQ(S_OK, clone->Skip(1));
    EXPECT_EQ(S_FALSE, clone->Skip(1));
  }
  // A destroyed point lets go of its subscribers.
  EXPECT_EQ(1u, a.refs);
  EXPECT_EQ(1u, b.refs);
}
