// The participant search control against the in-memory address book: logon,
// the dialog, resolution, the two cursors and what the page reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mapisearch/MapiSearchAX.h"
#include "memstore/MemStore.h"
#include "tests/support/test_support.h"

namespace {

using memstore::DialogChoice;
using memstore::Op;
using testing_support::CapturedDiagnostics;
using testing_support::ScopedEnv;
using testing_support::TestRegistry;
using testing_support::U8;

VARIANT Pos(LONG value, VARTYPE vt = VT_I4) {
  VARIANT v;
  std::memset(&v, 0, sizeof v);
  v.vt = vt;
  v.lVal = value;
  return v;
}

VARIANT Blank() {
  VARIANT v;
  std::memset(&v, 0, sizeof v);
  v.vt = VT_EMPTY;
  return v;
}

class MapiSearchControl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CreateMapiSearchAX(nullptr, IID_IMapiSearch, ctl.ReceiveVoid()));
    smtp = provider.AddEntry(SmtpWithNames());
    exchange = provider.AddEntry(ExchangeWithPhone());
    exchangeNoPhone = provider.AddEntry(memstore::ExchangeUser(WSTR("Carl Ode"), WSTR("/o=Org/cn=carl"),
                                                               {WSTR("SMTP:carl@example.org")}));
    list = provider.AddEntry(memstore::DistList(WSTR("Team"), WSTR("EX"), WSTR("/o=Org/cn=team")));
  }

  static memstore::AddressEntry SmtpWithNames() {
    memstore::AddressEntry e = memstore::SmtpUser(WSTR("Ann Lee"), WSTR("ann@example.org"));
    e.properties.push_back(memstore::Prop::String(PROP_TAG(PT_UNICODE, 0x3A06), WSTR("Ann")));
    e.properties.push_back(memstore::Prop::String(PROP_TAG(PT_UNICODE, 0x3A11), WSTR("Lee")));
    return e;
  }
  static memstore::AddressEntry ExchangeWithPhone() {
    memstore::AddressEntry e = memstore::ExchangeUser(
        WSTR("Bob Stone"), WSTR("/o=Org/cn=bob"),
        {WSTR("SMTP:bob@example.org"), WSTR("smtp:bstone@example.org"), WSTR("X400:c=US;a= ;p=Org;s=Stone")});
    e.properties.push_back(memstore::Prop::String(PROP_TAG(PT_UNICODE, 0x3A08), WSTR("+1 555 0100")));
    return e;
  }

  void Pick(std::vector<memstore::EntryNumber> entries) {
    provider.SetChooser([entries](const ADRPARM&, ULONG_PTR) { return DialogChoice::Pick(entries); });
  }

  MAPIParSelUI& UI() { return static_cast<CMapiSearchAX*>(ctl.Get())->UI(); }

  bool Bool(HRESULT (STDMETHODCALLTYPE IMapiSearch::*method)(VARIANT*)) {
    VARIANT v = Blank();
    EXPECT_EQ(S_OK, (ctl.Get()->*method)(&v));
    EXPECT_EQ(VT_BOOL, v.vt);
    EXPECT_TRUE(v.boolVal == 0 || v.boolVal == 1) << v.boolVal;
    return v.boolVal == 1;
  }
  LONG Count() {
    VARIANT v = Blank();
    EXPECT_EQ(S_OK, ctl->GetParticipantCount(&v));
    EXPECT_EQ(VT_I4, v.vt);
    return v.lVal;
  }
  // The current participant's (name, value) pairs walked with the property
  // cursor; a null value reads as "<null>".
  std::vector<std::pair<std::string, std::string>> Walk() {
    std::vector<std::pair<std::string, std::string>> pairs;
    EXPECT_TRUE(Bool(&IMapiSearch::FirstProperty));
    if (UI().m_nPropertyCount == 0) return pairs;
    do {
      BSTR name = nullptr;
      BSTR value = nullptr;
      EXPECT_EQ(S_OK, ctl->GetPropertyName(&name));
      EXPECT_EQ(S_OK, ctl->GetPropertyValue(&value));
      pairs.emplace_back(U8(name), value != nullptr ? U8(value) : "<null>");
      SysFreeString(name);
      SysFreeString(value);
    } while (Bool(&IMapiSearch::NextProperty));
    return pairs;
  }
  // Whether a logged message (without its header) was written.
  int Logged(const WString& message) const {
    int n = 0;
    for (const WString& line : diag.lines) {
      const WString tail = message + WSTR("\n");
      if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0 &&
          line.find(WSTR("CMapiSearchAX :: Tessaro")) != WString::npos)
        ++n;
    }
    return n;
  }

  TestRegistry registry;
  ScopedEnv level{WSTR("ZLMTessaroLogLevel"), WSTR("134217743")};  // 0x0800000F: every level
  CapturedDiagnostics diag;
  memstore::Provider provider;
  plat::Substitute<plat::MapiService> installed{provider};
  ComPtr<IMapiSearch> ctl;
  memstore::EntryNumber smtp = 0, exchange = 0, exchangeNoPhone = 0, list = 0;
};

TEST_F(MapiSearchControl, NewControlAnswersWithoutAList) {
  EXPECT_EQ(0, Count());
  EXPECT_FALSE(Bool(&IMapiSearch::FirstParticipant));
  EXPECT_FALSE(Bool(&IMapiSearch::NextParticipant));
  VARIANT count = Blank();
  EXPECT_EQ(E_ABORT, ctl->GetParticipantPropertySetCount(&count));
  EXPECT_EQ(VT_EMPTY, count.vt);
  BSTR text = nullptr;
  EXPECT_EQ(E_FAIL, ctl->GetPropertyName(&text));  // before any FirstProperty
  // FirstProperty says true all the same; its count is 0.
  VARIANT ok = Blank();
  EXPECT_EQ(S_OK, ctl->FirstProperty(&ok));
  EXPECT_EQ(VT_BOOL, ok.vt);
  EXPECT_EQ(1, ok.boolVal);
  EXPECT_NE(VARIANT_TRUE, ok.boolVal);
  EXPECT_EQ(0u, UI().m_nPropertyCount);
  EXPECT_FALSE(Bool(&IMapiSearch::NextProperty));
  EXPECT_EQ(E_FAIL, ctl->GetPropertyName(&text));
  EXPECT_EQ(E_FAIL, ctl->GetPropertyValue(&text));
  EXPECT_EQ(nullptr, text);
  EXPECT_EQ(0, provider.CallCount(Op::MAPIInitialize));
  EXPECT_TRUE(diag.lines.empty());
}

TEST_F(MapiSearchControl, DialogLogsOnOnceShowsTheParametersAndWalksThreeParticipants) {
  int dialogs = 0;
  provider.SetChooser([&](const ADRPARM& p, ULONG_PTR ui) {
    ++dialogs;
    EXPECT_EQ(0x1234u, ui);
    EXPECT_EQ(0x80000021u, p.ulFlags);
    EXPECT_EQ(0u, p.cbABContEntryID);
    EXPECT_EQ(nullptr, p.lpABContEntryID);
    EXPECT_EQ("Get Call Participants", U8(p.lpszCaption));
    EXPECT_EQ("New Contact", U8(p.lpszNewEntryTitle));
    EXPECT_EQ("&Call Participants", U8(p.lpszDestWellsTitle));
    EXPECT_EQ(1u, p.cDestFields);
    EXPECT_EQ(0u, p.nDestFieldFocus);
    EXPECT_EQ("&Add", U8(p.lppszDestTitles[0]));
    EXPECT_EQ(MAPI_TO, p.lpulDestComps[0]);
    EXPECT_EQ(nullptr, p.lpContRestriction);
    EXPECT_EQ(nullptr, p.lpfnDismiss);
    return DialogChoice::Pick({smtp, exchange, list});
  });
  ASSERT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0x1234)));
  EXPECT_EQ(1, provider.CallCount(Op::MAPIInitialize));
  EXPECT_EQ(1, provider.CallCount(Op::MAPILogonEx));
  EXPECT_NE(nullptr, UI().m_lpMDB);
  EXPECT_EQ(3, Count());
  EXPECT_TRUE(Bool(&IMapiSearch::FirstParticipant));
  EXPECT_TRUE(Bool(&IMapiSearch::NextParticipant));
  EXPECT_TRUE(Bool(&IMapiSearch::NextParticipant));
  EXPECT_FALSE(Bool(&IMapiSearch::NextParticipant));
  EXPECT_EQ(2u, UI().m_nParticipant);

  // A second dialog reuses the session.
  ASSERT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0x1234)));
  EXPECT_EQ(2, dialogs);
  EXPECT_EQ(1, provider.CallCount(Op::MAPIInitialize));
  EXPECT_EQ(1, provider.CallCount(Op::MAPILogonEx));
  for (const memstore::Call& call : provider.Calls())
    if (call.op == Op::MAPILogonEx) {
      EXPECT_EQ(0x8061u, call.flags);
    }

  EXPECT_EQ(1, Logged(WSTR("Tessaro INFO  :: MAPIParSelUI::InitializeMAPI(738): MAPI Initialized")));
  EXPECT_EQ(2, Logged(WSTR("Tessaro INFO  :: MAPIParSelUI::ProcessAddrList(853): PropMap.GetCount = 28")));
  EXPECT_EQ(2, Logged(WSTR("Tessaro INFO  :: MAPIParSelUI::ProcessAddrList(899): PrepareRecips() successfully "
                           "called against Address List.")));
  EXPECT_EQ(2, Logged(WSTR("Tessaro ERROR :: MAPIParSelUI::ProcessAddrList(909): MAPIParSelUI::ProcessAddrList() "
                           "returning 0x0")));

  ASSERT_EQ(S_OK, ctl->DoLogout());
  EXPECT_EQ(0, Count());
  ctl = nullptr;
  EXPECT_EQ(0, provider.LiveObjects());
  EXPECT_EQ(0, provider.LiveBuffers());
}

TEST_F(MapiSearchControl, SmtpParticipantCarriesEveryRequestedPropertyInTheRequestOrder) {
  Pick({smtp});
  ASSERT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0)));
  ASSERT_TRUE(Bool(&IMapiSearch::FirstParticipant));
  const auto pairs = Walk();
  ASSERT_EQ(25u, pairs.size());
  const std::vector<std::string> names = {
      "PID_OFFICE2_TELEPHONE_NUMBER", "PID_EMAIL_ADDRESS",        "PID_CELLULAR_TELEPHONE_NUMBER",
      "PID_RADIO_TELEPHONE_NUMBER",   "PID_CAR_TELEPHONE_NUMBER", "PID_OTHER_TELEPHONE_NUMBER",
      "PID_BEEPER_TELEPHONE_NUMBER",  "PID_SURNAME",              "PID_MIDDLE_NAME",
      "PID_PRIMARY_FAX_NUMBER",       "PID_BUSINESS_FAX_NUMBER",  "PID_RECORD_KEY",
      "PID_HOME_FAX_NUMBER",          "PID_STORE_RECORD_KEY",     "PID_STORE_ENTRYID",
      "PID_GIVEN_NAME",               "PID_TITLE",                "PID_OBJECT_TYPE",
      "PID_OFFICE_TELEPHONE_NUMBER",  "PID_ENTRYID",              "PID_DISPLAY_NAME",
      "PID_PRIMARY_TELEPHONE_NUMBER", "PID_HOME_TELEPHONE_NUMBER", "PID_ADDRTYPE",
      "PID_FULLNAME"};
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], pairs[i].first) << i;
  EXPECT_EQ("<null>", pairs[0].second);
  EXPECT_EQ("ann@example.org", pairs[1].second);
  EXPECT_EQ("Lee", pairs[7].second);
  EXPECT_EQ("Messaging user object", pairs[17].second);
  EXPECT_EQ("Ann Lee", pairs[20].second);
  EXPECT_EQ("SMTP", pairs[23].second);
  EXPECT_EQ("Ann Lee", pairs[24].second);
  // The entry id in upper-case hexadecimal.
  std::string hex;
  for (BYTE b : provider.AddressEntryId(smtp)) {
    static const char digits[] = "0123456789ABCDEF";
    hex += digits[b >> 4];
    hex += digits[b & 0xF];
  }
  EXPECT_EQ(hex, pairs[19].second);
  // Both walking styles agree.
  VARIANT count = Blank();
  ASSERT_EQ(S_OK, ctl->GetParticipantPropertySetCount(&count));
  EXPECT_EQ(25, count.lVal);
  BSTR name = nullptr;
  ASSERT_EQ(S_OK, ctl->GetParticipantPropertyName(Pos(24), &name));
  EXPECT_EQ("PID_FULLNAME", U8(name));
  SysFreeString(name);
}

TEST_F(MapiSearchControl, ExchangeParticipantsTradeTheirX500AddressForTheirSmtpProxies) {
  Pick({exchange, exchangeNoPhone, list});
  ASSERT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0)));
  ASSERT_TRUE(Bool(&IMapiSearch::FirstParticipant));
  auto pairs = Walk();
  ASSERT_EQ(25u, pairs.size());  // 24 requested, less the X.500 address, plus two
  for (size_t i = 0; i + 2 < pairs.size(); ++i) EXPECT_NE("/o=Org/cn=bob", pairs[i].second);
  EXPECT_EQ((std::pair<std::string, std::string>("PID_EMAIL_ADDRESS", "bob@example.org")), pairs[23]);
  EXPECT_EQ((std::pair<std::string, std::string>("PID_EMAIL_ADDRESS", "bstone@example.org")), pairs[24]);

  // Resolution reports the numbers it lacks as missing values, and those
  // count as numbers: the entry keeps its set, with its one SMTP address.
  ASSERT_TRUE(Bool(&IMapiSearch::NextParticipant));
  pairs = Walk();
  ASSERT_EQ(24u, pairs.size());
  EXPECT_EQ((std::pair<std::string, std::string>("PID_EMAIL_ADDRESS", "carl@example.org")), pairs.back());

  // A list of the same kind still has its set.
  ASSERT_TRUE(Bool(&IMapiSearch::NextParticipant));
  pairs = Walk();
  ASSERT_FALSE(pairs.empty());
  bool sawType = false;
  for (const auto& p : pairs)
    if (p.first == "PID_OBJECT_TYPE") sawType = p.second == "Distribution list object";
  EXPECT_TRUE(sawType);
}

TEST_F(MapiSearchControl, PositionsReadTheValueFieldAndStayInsideTheSet) {
  Pick({smtp});
  ASSERT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0)));
  VARIANT count = Blank();
  ASSERT_EQ(S_OK, ctl->GetParticipantPropertySetCount(&count));
  BSTR a = nullptr, b = nullptr;
  ASSERT_EQ(S_OK, ctl->GetParticipantPropertyName(Pos(2), &a));
  ASSERT_EQ(S_OK, ctl->GetParticipantPropertyName(Pos(2, VT_BSTR), &b));  // the tag plays no part
  EXPECT_EQ("PID_CELLULAR_TELEPHONE_NUMBER", U8(a));
  EXPECT_EQ(U8(a), U8(b));
  SysFreeString(a);
  SysFreeString(b);

  for (LONG beyond : {count.lVal, LONG(-1), LONG(1000)}) {
    BSTR name = nullptr;
    ASSERT_EQ(S_OK, ctl->GetParticipantPropertyName(Pos(beyond), &name));
    EXPECT_EQ("unknown-property", U8(name));
    SysFreeString(name);
    BSTR value = reinterpret_cast<BSTR>(0x1);  // must stay as it is
    ASSERT_EQ(S_OK, ctl->GetParticipantPropertyValue(Pos(beyond), &value));
    EXPECT_EQ(reinterpret_cast<BSTR>(0x1), value);
  }
}

TEST_F(MapiSearchControl, CursorLeftBeyondAShorterNewListUntilFirstParticipant) {
  Pick({smtp, exchange, list});
  ASSERT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0)));
  ASSERT_TRUE(Bool(&IMapiSearch::FirstParticipant));
  ASSERT_TRUE(Bool(&IMapiSearch::NextParticipant));
  ASSERT_TRUE(Bool(&IMapiSearch::NextParticipant));
  Pick({smtp});
  ASSERT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0)));
  VARIANT count = Blank();
  EXPECT_EQ(E_ABORT, ctl->GetParticipantPropertySetCount(&count));
  EXPECT_TRUE(Walk().empty());
  ASSERT_TRUE(Bool(&IMapiSearch::FirstParticipant));
  EXPECT_EQ(S_OK, ctl->GetParticipantPropertySetCount(&count));
  EXPECT_EQ(25, count.lVal);
}

TEST_F(MapiSearchControl, CancelDiscardsThePickAndConfirmingNothingLeavesNoList) {
  Pick({smtp, exchange});
  ASSERT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0)));
  ASSERT_EQ(2, Count());
  provider.SetChooser([](const ADRPARM&, ULONG_PTR) { return DialogChoice::Cancel(); });
  EXPECT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0)));
  EXPECT_EQ(0, Count());
  EXPECT_FALSE(Bool(&IMapiSearch::FirstParticipant));

  Pick({smtp});
  ASSERT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0)));
  provider.SetChooser([](const ADRPARM&, ULONG_PTR) { return DialogChoice::Nothing(); });
  EXPECT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0)));
  EXPECT_EQ(nullptr, UI().m_AddrList);
  EXPECT_EQ(0, Count());
  EXPECT_EQ(2, provider.CallCount(Op::PrepareRecips));
}

TEST_F(MapiSearchControl, LogonFailureIsNamedAndLeavesTheObjectLoggedOff) {
  provider.Fail(Op::MAPILogonEx, MAPI_E_LOGON_FAILED);
  EXPECT_EQ(MAPI_E_LOGON_FAILED, ctl->DoGetParticipantsDlg(Pos(0)));
  EXPECT_EQ(1, Logged(WSTR("Tessaro ERROR :: MAPIParSelUI::DoLogin(68): MAPILogon: MAPI_E_LOGON_FAILED")));
  EXPECT_EQ(0, provider.CallCount(Op::Address));
  EXPECT_EQ(nullptr, UI().m_lpSession);

  // A failed address book logs the session off again.
  provider.Fail(Op::OpenAddressBook, MAPI_E_NO_ACCESS);
  EXPECT_EQ(MAPI_E_NO_ACCESS, ctl->DoLogin());
  EXPECT_EQ(nullptr, UI().m_lpSession);
  EXPECT_EQ(nullptr, UI().m_lpMDB);
  EXPECT_EQ(1, provider.CallCount(Op::Logoff));
  EXPECT_EQ(0, provider.LiveSessions());
  // MAPI was initialised once all the same.
  EXPECT_EQ(1, provider.CallCount(Op::MAPIInitialize));
}

TEST_F(MapiSearchControl, InitialisationFailureIsLoggedUnderTheLogonName) {
  provider.Fail(Op::MAPIInitialize, MAPI_E_NOT_ENOUGH_MEMORY);
  const HRESULT hr = ctl->DoLogin();
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(1, Logged(WSTR("Tessaro ERROR :: MAPIParSelUI::InitializeMAPI(736): MAPILogon: MAPI_E_NOT_ENOUGH_MEMORY")));
  EXPECT_FALSE(UI().m_bMAPIInitialized);
}

TEST_F(MapiSearchControl, PrepareRecipsFailureLogsThreeErrorLinesAndKeepsNoList) {
  Pick({smtp});
  memstore::ErrorInfo info;
  info.error = WSTR("Directory offline");
  provider.SetErrorInfo(info);
  provider.Fail(Op::PrepareRecips, MAPI_E_NETWORK_ERROR);
  EXPECT_EQ(MAPI_E_NETWORK_ERROR, ctl->DoGetParticipantsDlg(Pos(0)));
  EXPECT_EQ(nullptr, UI().m_AddrList);
  EXPECT_EQ(1, Logged(WSTR("Tessaro ERROR :: MAPIParSelUI::ProcessAddrList(888): PrepareRecips() Failed.")));
  EXPECT_EQ(1, Logged(WSTR("Tessaro ERROR :: MAPIParSelUI::DisplayError(663): PrepareRecips: MAPI_E_NETWORK_ERROR"
                           "\r\n\r\nDirectory offline")));
  EXPECT_EQ(1, Logged(WSTR("Tessaro ERROR :: MAPIParSelUI::ProcessAddrList(909): MAPIParSelUI::ProcessAddrList() "
                           "returning 0x80040115")));
  EXPECT_EQ(0, Count());
}

TEST_F(MapiSearchControl, LogoffWithoutSessionIsSilentAndAFailedLogoffIsTriedAgain) {
  EXPECT_EQ(S_OK, ctl->DoLogout());
  EXPECT_TRUE(diag.lines.empty());

  ASSERT_EQ(S_OK, ctl->DoLogin());
  provider.Fail(Op::Logoff, MAPI_E_CALL_FAILED);
  EXPECT_EQ(MAPI_E_CALL_FAILED, ctl->DoLogout());
  EXPECT_EQ(1, Logged(WSTR("Tessaro ERROR :: MAPIParSelUI::DisplayError(663): Logoff: MAPI_E_CALL_FAILED")));
  EXPECT_NE(nullptr, UI().m_lpSession);
  EXPECT_EQ(nullptr, UI().m_lpAddrBook);
  // The kept session gets its address book back before the next dialog.
  Pick({smtp});
  EXPECT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0)));
  EXPECT_EQ(1, provider.CallCount(Op::MAPILogonEx));
  EXPECT_EQ(1, Count());
  EXPECT_EQ(S_OK, ctl->DoLogout());
  EXPECT_EQ(nullptr, UI().m_lpSession);
  int loggedOff = 0;
  for (const WString& line : diag.lines)
    if (line.find(WSTR("MAPIParSelUI::DoLogout(208): MAPI Session id of 0x")) != WString::npos &&
        line.find(WSTR(" was Logged Off Successfully\n")) != WString::npos)
      ++loggedOff;
  EXPECT_EQ(1, loggedOff);
  EXPECT_EQ(0, provider.LiveSessions());

  // A cancelled logoff has no text, but the line is written.
  ASSERT_EQ(S_OK, ctl->DoLogin());
  provider.Fail(Op::Logoff, MAPI_E_USER_CANCEL);
  EXPECT_EQ(MAPI_E_USER_CANCEL, ctl->DoLogout());
  EXPECT_EQ(1, Logged(WSTR("Tessaro ERROR :: MAPIParSelUI::DisplayError(663): ")));
}

TEST_F(MapiSearchControl, DestroyingTheControlLogsOff) {
  Pick({smtp});
  ASSERT_EQ(S_OK, ctl->DoGetParticipantsDlg(Pos(0)));
  ASSERT_TRUE(Bool(&IMapiSearch::FirstProperty));
  ctl = nullptr;
  EXPECT_EQ(1, provider.CallCount(Op::Logoff));
  EXPECT_EQ(0, provider.LiveObjects());
  EXPECT_EQ(0, provider.LiveBuffers());
}

TEST_F(MapiSearchControl, ScriptsCallThroughIDispatch) {
  const char* names[] = {"DoLogin", "DoGetParticipantsDlg", "GetParticipantCount", "FirstParticipant", "DoLogout",
                         "GetParticipantPropertySetCount", "GetParticipantPropertyName",
                         "GetParticipantPropertyValue", "NextParticipant", "FirstProperty", "NextProperty",
                         "GetPropertyName", "GetPropertyValue"};
  for (DISPID expected = 1; expected <= 13; ++expected) {
    WString name;
    for (const char* c = names[expected - 1]; *c != 0; ++c) name.push_back(static_cast<WCHAR>(*c));
    LPOLESTR one = &name[0];
    DISPID id = 0;
    ASSERT_EQ(S_OK, ctl->GetIDsOfNames(IID_NULL, &one, 1, 0, &id)) << names[expected - 1];
    EXPECT_EQ(expected, id);
  }
  Pick({smtp, exchange});
  VARIANTARG hwnd = Pos(0x42);
  DISPPARAMS oneArg{&hwnd, nullptr, 1, 0};
  ASSERT_EQ(S_OK, ctl->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &oneArg, nullptr, nullptr, nullptr));
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  CVariant result;
  ASSERT_EQ(S_OK, ctl->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &none, result.Receive(), nullptr, nullptr));
  EXPECT_EQ(VT_I4, result->vt);
  EXPECT_EQ(2, result->lVal);
  ASSERT_EQ(S_OK, ctl->Invoke(10, IID_NULL, 0, DISPATCH_METHOD, &none, result.Receive(), nullptr, nullptr));
  EXPECT_EQ(VT_BOOL, result->vt);
  EXPECT_EQ(1, result->boolVal);
  ASSERT_EQ(S_OK, ctl->Invoke(12, IID_NULL, 0, DISPATCH_METHOD, &none, result.Receive(), nullptr, nullptr));
  EXPECT_EQ(VT_BSTR, result->vt);
  EXPECT_EQ("PID_OFFICE2_TELEPHONE_NUMBER", U8(result->bstrVal));
  // A position in a variable passed by reference is followed to its value.
  VARIANT variable = Pos(1);
  VARIANTARG byRef = Blank();
  byRef.vt = VT_BYREF | VT_VARIANT;
  byRef.pvarVal = &variable;
  DISPPARAMS pos{&byRef, nullptr, 1, 0};
  ASSERT_EQ(S_OK, ctl->Invoke(8, IID_NULL, 0, DISPATCH_METHOD, &pos, result.Receive(), nullptr, nullptr));
  EXPECT_EQ(VT_BSTR, result->vt);
  EXPECT_EQ("ann@example.org", U8(result->bstrVal));
}

TEST(MapiSearchObject, InterfacesSafetyAndTheSilentEventPoint) {
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(S_OK, CreateMapiSearchAX(nullptr, IID_IUnknown, unknown.ReceiveVoid()));
  void* none = reinterpret_cast<void*>(1);
  // Aggregated, only the inner unknown may be asked for (the frame's tests
  // cover aggregation).
  EXPECT_EQ(CLASS_E_NOAGGREGATION, CreateMapiSearchAX(unknown.Get(), IID_IMapiSearch, &none));
  EXPECT_EQ(nullptr, none);

  ComPtr<ISupportErrorInfo> errors;
  ASSERT_EQ(S_OK, unknown->QueryInterface(IID_ISupportErrorInfo, errors.ReceiveVoid()));
  EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(IID_IMapiSearch));
  EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(IID_IDispatch));

  ComPtr<IObjectSafety> safety;
  ASSERT_EQ(S_OK, unknown->QueryInterface(IID_IObjectSafety, safety.ReceiveVoid()));
  DWORD supported = 0, enabled = 0;
  ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER), supported);
  EXPECT_EQ(E_FAIL, safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_DATA,
                                                       INTERFACESAFE_FOR_UNTRUSTED_DATA));

  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(S_OK, unknown->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid()));
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__IIEMapiEvents, point.Receive()));
  IID iid{};
  ASSERT_EQ(S_OK, point->GetConnectionInterface(&iid));
  EXPECT_TRUE(iid == DIID__IIEMapiEvents);
}

}  // namespace

// The dialog is modal and the page's script runs on while it is up: it may
// let go of the control, log it out or ask for the dialog again.
TEST_F(MapiSearchControl, ThePageMayCallBackOrLetGoWhileTheDialogIsUp) {
  enum class During { Release, DoLogout, Dialog };
  struct Case {
    const char* name;
    During during;
    HRESULT result;  // of the outer DoGetParticipantsDlg
    LONG count;      // participants kept afterwards (-1: no control left)
  };
  const Case cases[] = {
      {"final release", During::Release, S_OK, -1},
      {"DoLogout", During::DoLogout, MAPI_E_NOT_INITIALIZED, 0},
      {"the dialog again", During::Dialog, S_OK, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!ctl) {
      ASSERT_EQ(S_OK, CreateMapiSearchAX(nullptr, IID_IMapiSearch, ctl.ReceiveVoid()));
    }
    IMapiSearch* raw = ctl.Get();
    int shown = 0;
    provider.SetChooser([&](const ADRPARM&, ULONG_PTR) {
      const int call = ++shown;
      if (call == 1) {
        switch (c.during) {
          case During::Release: ctl = nullptr; break;
          case During::DoLogout:
            EXPECT_EQ(S_OK, raw->DoLogout());
            EXPECT_EQ(1, provider.LiveObjects());  // the address book showing the dialog
            break;
          case During::Dialog: EXPECT_EQ(S_OK, raw->DoGetParticipantsDlg(Pos(0))); break;
        }
      }
      // The nested dialog picks one entry, the outer one two.
      return call == 2 ? DialogChoice::Pick({list}) : DialogChoice::Pick({smtp, exchange});
    });
    EXPECT_EQ(c.result, raw->DoGetParticipantsDlg(Pos(0)));
    if (c.count < 0) {
      EXPECT_FALSE(ctl);
      EXPECT_EQ(0, provider.LiveSessions());
      EXPECT_EQ(0, provider.LiveObjects());
      EXPECT_EQ(0, provider.LiveBuffers());
      continue;
    }
    EXPECT_EQ(c.count, Count());
    if (c.count > 0) {
      EXPECT_TRUE(Bool(&IMapiSearch::FirstParticipant));
      EXPECT_FALSE(Walk().empty());
    }
    ctl = nullptr;
    EXPECT_EQ(0, provider.LiveSessions());
    EXPECT_EQ(0, provider.LiveObjects());
    EXPECT_EQ(0, provider.LiveBuffers());
  }
}

// The logon dialog is modal too: a DoLogin the page makes while it is up
// logs on, and the outer logon gives its own session back.
TEST_F(MapiSearchControl, ALogonFromInsideTheLogonDialogLeavesOneSession) {
  IMapiSearch* raw = ctl.Get();
  bool nested = false;
  provider.SetCallHook([&](Op op) {
    if (op != Op::MAPILogonEx || nested) return;
    nested = true;
    EXPECT_EQ(S_OK, raw->DoLogin());
  });
  EXPECT_EQ(S_OK, raw->DoLogin());
  provider.SetCallHook(nullptr);
  EXPECT_TRUE(nested);
  EXPECT_EQ(1, provider.LiveSessions());
  Pick({smtp});
  EXPECT_EQ(S_OK, raw->DoGetParticipantsDlg(Pos(0)));
  EXPECT_EQ(1, Count());
  ctl = nullptr;
  EXPECT_EQ(0, provider.LiveSessions());
  EXPECT_EQ(0, provider.LiveObjects());
}
