// The control as the browser and the page's script meet it: its interfaces,
// scripting through IDispatch, safety options and the browser site.
#include <gtest/gtest.h>

#include "tests/calpresence_support.h"

using namespace calpresence_testing;
using C = CCalPresenceAX;

namespace {

TESSARO_DEFINE_GUID(IID_Unrelated, 0x0C1A2B3C, 0x1111, 0x2222, 0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66);

// A browser as the control sees one: asked for IWebBrowser2 it hands out
// itself (the control calls only IUnknown on it) and offers
// DWebBrowserEvents2 through a connection point.
class FakeBrowser final : public IDispatch, public plat::ConnectionPointContainer {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IWebBrowser2) {
      *ppv = static_cast<IDispatch*>(this);
    } else if (riid == IID_IConnectionPointContainer) {
      *ppv = static_cast<IConnectionPointContainer*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  // Sends an event to every subscriber; the last one's answer.
  HRESULT Send(DISPID dispid) { return events.Fire(dispid, nullptr, 0); }

  ULONG refs = 1;
  plat::ConnectionPoint events{this, DIID_DWebBrowserEvents2};
  FakeBrowser() { OfferConnectionPoint(&events); }
};

// A site that reaches the browser directly, through IServiceProvider, or
// not at all.
class FakeSite final : public IServiceProvider {
 public:
  enum class Kind { Browser, Services, Nothing };
  FakeSite(Kind kind, FakeBrowser* browser) : kind_(kind), browser_(browser) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || (riid == IID_IServiceProvider && kind_ == Kind::Services)) {
      *ppv = static_cast<IServiceProvider*>(this);
      AddRef();
      return S_OK;
    }
    if (riid == IID_IWebBrowser2 && kind_ == Kind::Browser) return browser_->QueryInterface(riid, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** ppv) override {
    if (service != SID_SWebBrowserApp) return E_NOINTERFACE;
    return browser_->QueryInterface(riid, ppv);
  }
  ULONG refs = 1;

 private:
  Kind kind_;
  FakeBrowser* browser_;
};

class Com : public CalPresenceTest {
 protected:
  Com() : control(Make(page)) { C::SetLogEnabled(0x0F); }
  EventRecorder page;
  ComPtr<CCalPresenceAX> control;
};

}  // namespace

TEST_F(Com, AnswersTheInterfacesAHostNeedsAndOnlyThose) {
  const IID* answered[] = {&IID_IUnknown,           &IID_ICalPresence,         &IID_IDispatch,
                           &IID_IObjectWithSite,    &IID_ISupportErrorInfo,    &IID_IConnectionPointContainer,
                           &IID_IProvideClassInfo,  &IID_IProvideClassInfo2,   &IID_IObjectSafety,
                           // the shared control frame's persistence and view
                           &IID_IPersist,           &IID_IPersistStreamInit,   &IID_IPersistStorage,
                           &IID_IPersistPropertyBag, &IID_IViewObject,         &IID_IViewObject2};
  for (const IID* iid : answered) {
    ComPtr<IUnknown> p;
    EXPECT_EQ(S_OK, control->QueryInterface(*iid, p.ReceiveVoid())) << U8(plat::GuidText(*iid).c_str());
    EXPECT_NE(nullptr, p.Get());
  }
  void* none = &none;
  EXPECT_EQ(E_NOINTERFACE, control->QueryInterface(IID_Unrelated, &none));
  EXPECT_EQ(nullptr, none);

  EXPECT_EQ(S_OK, control->InterfaceSupportsErrorInfo(IID_ICalPresence));
  EXPECT_EQ(S_FALSE, control->InterfaceSupportsErrorInfo(IID_IDispatch));
  GUID source{};
  EXPECT_EQ(S_OK, control->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source));
  EXPECT_TRUE(source == DIID__ICalPresenceEvents);

  // Two connection points: the events and property changes.
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(S_OK, control->FindConnectionPoint(DIID__ICalPresenceEvents, point.Receive()));
  EXPECT_EQ(S_OK, control->FindConnectionPoint(IID_IPropertyNotifySink, point.Receive()));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, control->FindConnectionPoint(IID_Unrelated, point.Receive()));
}

TEST_F(Com, ScriptCallsTheThreeMethodsByNameThroughIDispatch) {
  C::m_processFound.store(1);  // straight to Logon, whose MAPI is not there
  plat::PortableMapiService noMapi;
  plat::Substitute<plat::MapiService> installed(noMapi);
  IDispatch* script = control.Get();
  const char* names[] = {"GetCalData", "checkprocesschange", "QUIT"};
  for (DISPID expected = 1; expected <= 3; ++expected) {
    WString name = wstr::FromUtf8(names[expected - 1]);
    LPOLESTR text = &name[0];
    DISPID id = 0;
    EXPECT_EQ(S_OK, script->GetIDsOfNames(IID_NULL, &text, 1, 0x0400, &id));
    EXPECT_EQ(expected, id);
  }
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(S_OK, script->Invoke(1, IID_NULL, 0x0400, DISPATCH_METHOD, &none, &result, nullptr, nullptr));
  EXPECT_EQ('D', page.Sequence().front());
  EXPECT_EQ('P', page.Sequence().back());
  log.Clear();
  EXPECT_EQ(S_OK, script->Invoke(3, IID_NULL, 0x0400, DISPATCH_METHOD, &none, &result, nullptr, nullptr));
  EXPECT_TRUE(log.Has("Quit(477): Quit method called"));
}

TEST_F(Com, SafeForScriptingIsTheOnlyOption) {
  DWORD supported = 9, enabled = 9;
  EXPECT_EQ(S_OK, control->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER), supported);
  EXPECT_EQ(0u, enabled);
  EXPECT_EQ(S_OK, control->SetInterfaceSafetyOptions(IID_ICalPresence, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                     INTERFACESAFE_FOR_UNTRUSTED_CALLER));
  EXPECT_EQ(S_OK, control->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER), enabled);
  EXPECT_EQ(E_FAIL, control->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_DATA, 0));
  EXPECT_EQ(E_NOINTERFACE, control->GetInterfaceSafetyOptions(IID_Unrelated, &supported, &enabled));
  EXPECT_EQ(0u, supported);
  EXPECT_EQ(0u, enabled);
  EXPECT_EQ(E_NOINTERFACE, control->SetInterfaceSafetyOptions(IID_Unrelated, 1, 1));
  EXPECT_EQ(E_POINTER, control->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled));
}

TEST_F(Com, TheSiteLeadsToTheBrowserWhoseEventsTheControlFollows) {
  FakeBrowser first, second;
  FakeSite notABrowser(FakeSite::Kind::Nothing, &first);
  FakeSite direct(FakeSite::Kind::Browser, &first);
  FakeSite services(FakeSite::Kind::Services, &second);

  // No way to the browser: the query's error, and the site is not kept.
  EXPECT_EQ(E_NOINTERFACE, control->SetSite(&notABrowser));
  EXPECT_TRUE(log.Has("Tessaro ERROR :: CCalPresenceAX::SetSite(420): IWebBrowser2 QI Failed."));
  ComPtr<IUnknown> site;
  EXPECT_EQ(E_FAIL, control->GetSite(IID_IUnknown, site.ReceiveVoid()));

  EXPECT_EQ(S_OK, control->SetSite(&direct));
  EXPECT_TRUE(control->BrowserAdvised());
  EXPECT_EQ(1u, first.events.ConnectionCount());
  const DWORD cookie = control->BrowserCookie();
  EXPECT_EQ(S_OK, first.Send(DISPID_ONQUIT));
  EXPECT_EQ(S_OK, first.Send(250));  // any other browser event is accepted
  EXPECT_EQ(S_OK, control->GetSite(IID_IUnknown, site.ReceiveVoid()));
  EXPECT_EQ(static_cast<IUnknown*>(&direct), site.Get());

  // A second site while subscribed: error 453, the first subscription stays,
  // the browser pointer and the site are the new ones.
  EXPECT_EQ(S_OK, control->SetSite(&services));
  EXPECT_TRUE(log.Has("Tessaro ERROR :: CCalPresenceAX::SetSite(453): BrowserSubscription threw exception."));
  EXPECT_EQ(cookie, control->BrowserCookie());
  EXPECT_EQ(0u, second.events.ConnectionCount());
  EXPECT_EQ(static_cast<IDispatch*>(&second), static_cast<IDispatch*>(control->WebBrowser()));
  EXPECT_EQ(S_OK, control->GetSite(IID_IUnknown, site.ReceiveVoid()));
  EXPECT_EQ(static_cast<IUnknown*>(&services), site.Get());
  site.Reset();

  // Leaving the site undoes the subscription where it was made.
  EXPECT_EQ(S_OK, control->SetSite(nullptr));
  EXPECT_FALSE(control->BrowserAdvised());
  EXPECT_EQ(0xFEFEFEFEu, control->BrowserCookie());
  EXPECT_EQ(0u, first.events.ConnectionCount());
  EXPECT_EQ(nullptr, control->WebBrowser());
  EXPECT_EQ(1u, first.refs);
  EXPECT_EQ(1u, second.refs);
  EXPECT_EQ(1u, direct.refs);
  EXPECT_EQ(1u, services.refs);

  // A control released while subscribed leaves the browser nothing to call.
  EXPECT_EQ(S_OK, control->SetSite(&direct));
  EXPECT_EQ(1u, first.events.ConnectionCount());
  control.Reset();
  EXPECT_EQ(0u, first.events.ConnectionCount());
  EXPECT_EQ(1u, first.refs);
  EXPECT_EQ(1u, direct.refs);
}
