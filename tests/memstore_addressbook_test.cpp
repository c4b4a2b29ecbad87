// The in-memory address book, as the participant search uses it.
#include <gtest/gtest.h>

#include <vector>

#include "memstore/MemStore.h"

namespace {

constexpr ULONG kSearchLogon = MAPI_LOGON_UI | MAPI_EXTENDED | MAPI_USE_DEFAULT | MAPI_NO_MAIL;

class AddressBookTest : public ::testing::Test {
 protected:
  memstore::Provider provider;
  plat::Substitute<plat::MapiService> installed{provider};
  ComPtr<IMAPISession> session;
  ComPtr<IAddrBook> book;
  memstore::EntryNumber ann = 0, bob = 0, team = 0;

  // What the participant search passes to the dialog.
  WCHAR caption[32] = WSTR("Get Call Participants");
  WCHAR newEntry[16] = WSTR("New Contact");
  WCHAR wells[32] = WSTR("&Call Participants");
  WCHAR add[8] = WSTR("&Add");
  LPTSTR titles[1] = {add};
  ULONG comps[1] = {MAPI_TO};
  ADRPARM params{};

  void SetUp() override {
    memstore::AddressEntry a = memstore::SmtpUser(WSTR("Ann Archer"), WSTR("ann@example.com"));
    a.properties = {memstore::Prop::String(PR_GIVEN_NAME_W, WSTR("Ann")),
                    memstore::Prop::String(PR_SURNAME_W, WSTR("Archer")),
                    memstore::Prop::String(PR_INITIALS_W, WSTR("A.A."))};
    ann = provider.AddEntry(a);
    memstore::AddressEntry b = memstore::ExchangeUser(
        WSTR("Bob Baker"), WSTR("/o=Org/ou=Site/cn=Recipients/cn=bob"),
        {WSTR("SMTP:bob@example.com"), WSTR("smtp:robert@example.com"), WSTR("X400:c=US;a= ;p=Org;s=Baker")});
    b.properties = {memstore::Prop::String(PR_OFFICE_TELEPHONE_NUMBER_W, WSTR("+1 555 0100"))};
    bob = provider.AddEntry(b);
    team = provider.AddEntry(memstore::DistList(WSTR("Team"), WSTR("EX"), WSTR("/o=Org/cn=team")));

    params.ulFlags = DIALOG_MODAL | AB_RESOLVE | MAPI_UNICODE;
    params.lpszCaption = caption;
    params.lpszNewEntryTitle = newEntry;
    params.lpszDestWellsTitle = wells;
    params.cDestFields = 1;
    params.lppszDestTitles = titles;
    params.lpulDestComps = comps;

    ASSERT_EQ(S_OK, plat::Mapi().MAPIInitialize(nullptr));
    ASSERT_EQ(S_OK, plat::Mapi().MAPILogonEx(0x77, nullptr, nullptr, kSearchLogon, session.Receive()));
    ASSERT_EQ(S_OK, session->OpenAddressBook(0x77, nullptr, 0, book.Receive()));
  }

  void TearDown() override {
    book.Reset();
    if (session) {
      EXPECT_EQ(S_OK, session->Logoff(0x77, MAPI_LOGOFF_UI, 0));
    }
    session.Reset();
    EXPECT_EQ(0, provider.LiveObjects());
    EXPECT_EQ(0L, provider.LiveBuffers());
  }

  LPADRLIST Pick(std::vector<memstore::EntryNumber> entries) {
    provider.SetChooser([entries](const ADRPARM&, ULONG_PTR) { return memstore::DialogChoice::Pick(entries); });
    ULONG_PTR ui = 0x77;
    LPADRLIST list = nullptr;
    EXPECT_EQ(S_OK, book->Address(&ui, &params, &list));
    return list;
  }

  static const SPropValue* Find(const ADRENTRY& e, ULONG tag) {
    for (ULONG i = 0; i < e.cValues; ++i)
      if (e.rgPropVals[i].ulPropTag == tag) return &e.rgPropVals[i];
    return nullptr;
  }
};

TEST_F(AddressBookTest, TheChooserSeesTheDialogAndDecidesWhatComesBack) {
  WString seenCaption, seenTitle;
  ULONG seenFlags = 0, seenComp = 0;
  ULONG_PTR seenWindow = 0;
  memstore::DialogChoice answer = memstore::DialogChoice::Pick({bob, ann});
  provider.SetChooser([&](const ADRPARM& p, ULONG_PTR ui) {
    seenCaption = p.lpszCaption;
    seenTitle = p.lppszDestTitles[0];
    seenFlags = p.ulFlags;
    seenComp = p.lpulDestComps[0];
    seenWindow = ui;
    return answer;
  });
  ULONG_PTR ui = 0x77;
  LPADRLIST list = nullptr;
  ASSERT_EQ(S_OK, book->Address(&ui, &params, &list));
  EXPECT_EQ(WString(WSTR("Get Call Participants")), seenCaption);
  EXPECT_EQ(WString(WSTR("&Add")), seenTitle);
  EXPECT_EQ(0x80000021u, seenFlags);
  EXPECT_EQ(ULONG(MAPI_TO), seenComp);
  EXPECT_EQ(ULONG_PTR(0x77), seenWindow);
  ASSERT_NE(nullptr, list);
  ASSERT_EQ(2u, list->cEntries);
  const ADRENTRY& first = list->aEntries[0];
  EXPECT_EQ(PR_RECIPIENT_TYPE, first.rgPropVals[0].ulPropTag);
  EXPECT_EQ(LONG(MAPI_TO), first.rgPropVals[0].Value.l);
  EXPECT_EQ(WString(WSTR("Bob Baker")), WString(Find(first, PR_DISPLAY_NAME_W)->Value.lpszW));
  EXPECT_EQ(WString(WSTR("EX")), WString(Find(first, PR_ADDRTYPE_W)->Value.lpszW));
  EXPECT_EQ(nullptr, Find(first, PR_EMS_AB_PROXY_ADDRESSES));  // the directory's only
  EXPECT_EQ(WString(WSTR("Ann Archer")), WString(Find(list->aEntries[1], PR_DISPLAY_NAME_W)->Value.lpszW));

  // Confirmed with nothing picked: success and no list, the old one freed.
  answer = memstore::DialogChoice::Nothing();
  EXPECT_EQ(S_OK, book->Address(&ui, &params, &list));
  EXPECT_EQ(nullptr, list);
  // Cancelled, or without a chooser: MAPI_E_USER_CANCEL.
  answer = memstore::DialogChoice::Cancel();
  EXPECT_EQ(MAPI_E_USER_CANCEL, book->Address(&ui, &params, &list));
  provider.SetChooser(nullptr);
  EXPECT_EQ(MAPI_E_USER_CANCEL, book->Address(&ui, &params, &list));
  EXPECT_EQ(nullptr, list);
  // An entry the book does not have.
  answer = memstore::DialogChoice::Pick({99});
  provider.SetChooser([&](const ADRPARM&, ULONG_PTR) { return answer; });
  EXPECT_EQ(MAPI_E_NOT_FOUND, book->Address(&ui, &params, &list));
  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, book->Address(&ui, nullptr, &list));
}

TEST_F(AddressBookTest, PrepareRecipsPutsTheRequestedPropertiesFirstInOrder) {
  LPADRLIST list = Pick({ann, bob});
  ASSERT_NE(nullptr, list);
  SizedSPropTagArray(5, asked) = {
      5, {PR_OFFICE_TELEPHONE_NUMBER_W, PR_EMAIL_ADDRESS_W, PR_SURNAME_W, PR_ENTRYID, PR_DISPLAY_NAME_A}};
  ASSERT_EQ(S_OK, book->PrepareRecips(0, reinterpret_cast<LPSPropTagArray>(&asked), list));

  const ADRENTRY& a = list->aEntries[0];
  ASSERT_GE(a.cValues, 5u);
  EXPECT_EQ(PROP_TAG(PT_ERROR, PROP_ID(PR_OFFICE_TELEPHONE_NUMBER_W)), a.rgPropVals[0].ulPropTag);
  EXPECT_EQ(MAPI_E_NOT_FOUND, a.rgPropVals[0].Value.err);
  EXPECT_EQ(WString(WSTR("ann@example.com")), WString(a.rgPropVals[1].Value.lpszW));
  EXPECT_EQ(WString(WSTR("Archer")), WString(a.rgPropVals[2].Value.lpszW));
  EXPECT_EQ(provider.AddressEntryId(ann),
            std::vector<BYTE>(a.rgPropVals[3].Value.bin.lpb, a.rgPropVals[3].Value.bin.lpb + a.rgPropVals[3].Value.bin.cb));
  EXPECT_EQ(PR_DISPLAY_NAME_A, a.rgPropVals[4].ulPropTag);
  EXPECT_STREQ("Ann Archer", a.rgPropVals[4].Value.lpszA);
  // Then what the entry carried and was not asked for, in its order.
  std::vector<ULONG> rest;
  for (ULONG i = 5; i < a.cValues; ++i) rest.push_back(a.rgPropVals[i].ulPropTag);
  EXPECT_EQ((std::vector<ULONG>{PR_RECIPIENT_TYPE, PR_ADDRTYPE_W, PR_OBJECT_TYPE, PR_DISPLAY_TYPE, PR_RECORD_KEY,
                                PR_GIVEN_NAME_W, PR_INITIALS_W}),
            rest);

  const ADRENTRY& b = list->aEntries[1];
  EXPECT_EQ(WString(WSTR("+1 555 0100")), WString(b.rgPropVals[0].Value.lpszW));
  EXPECT_EQ(PROP_TAG(PT_ERROR, PROP_ID(PR_SURNAME_W)), b.rgPropVals[2].ulPropTag);

  // Prepared again, nothing is lost or doubled.
  const ULONG before = a.cValues;
  ASSERT_EQ(S_OK, book->PrepareRecips(0, reinterpret_cast<LPSPropTagArray>(&asked), list));
  EXPECT_EQ(before, list->aEntries[0].cValues);
  plat::Mapi().FreePadrlist(list);

  EXPECT_EQ(MAPI_E_INVALID_PARAMETER, book->PrepareRecips(0, reinterpret_cast<LPSPropTagArray>(&asked), nullptr));
}

TEST_F(AddressBookTest, DirectoryEntriesAnswerTheirProxyAddresses) {
  SizedSPropTagArray(1, proxies) = {1, {PR_EMS_AB_PROXY_ADDRESSES}};
  auto read = [&](memstore::EntryNumber n, ULONG expectedType, HRESULT expected) -> std::vector<WString> {
    std::vector<BYTE> id = n != 0 ? provider.AddressEntryId(n) : std::vector<BYTE>();
    ComPtr<IUnknown> entry;
    ULONG type = 0;
    EXPECT_EQ(S_OK, book->OpenEntry(static_cast<ULONG>(id.size()), id.empty() ? nullptr : reinterpret_cast<LPENTRYID>(id.data()),
                                    nullptr, 0, &type, entry.Receive()));
    EXPECT_EQ(expectedType, type);
    ComPtr<IMAPIProp> prop;
    EXPECT_EQ(S_OK, entry.QueryInterface(IID_IMAPIProp, prop));
    ULONG count = 0;
    LPSPropValue values = nullptr;
    EXPECT_EQ(expected, prop->GetProps(reinterpret_cast<LPSPropTagArray>(&proxies), 0, &count, &values));
    std::vector<WString> out;
    if (values != nullptr && values[0].ulPropTag == PR_EMS_AB_PROXY_ADDRESSES)
      for (ULONG i = 0; i < values[0].Value.MVszW.cValues; ++i) out.emplace_back(values[0].Value.MVszW.lppszW[i]);
    plat::Mapi().MAPIFreeBuffer(values);
    return out;
  };
  EXPECT_EQ((std::vector<WString>{WSTR("SMTP:bob@example.com"), WSTR("smtp:robert@example.com"),
                                  WSTR("X400:c=US;a= ;p=Org;s=Baker")}),
            read(bob, MAPI_MAILUSER, S_OK));
  EXPECT_TRUE(read(ann, MAPI_MAILUSER, MAPI_W_ERRORS_RETURNED).empty());
  EXPECT_TRUE(read(team, MAPI_DISTLIST, MAPI_W_ERRORS_RETURNED).empty());
  EXPECT_TRUE(read(0, MAPI_ABCONT, MAPI_W_ERRORS_RETURNED).empty());  // no entry id: the root

  IUnknown* none = nullptr;
  BYTE junk[12] = {};
  EXPECT_EQ(MAPI_E_UNKNOWN_ENTRYID, book->OpenEntry(sizeof junk, reinterpret_cast<LPENTRYID>(junk), nullptr, 0,
                                                    nullptr, &none));
  std::vector<BYTE> bobId = provider.AddressEntryId(bob);
  EXPECT_EQ(MAPI_E_INTERFACE_NOT_SUPPORTED,
            book->OpenEntry(static_cast<ULONG>(bobId.size()), reinterpret_cast<LPENTRYID>(bobId.data()),
                            &IID_IDistList, 0, nullptr, &none));
  EXPECT_EQ(nullptr, none);
}

TEST_F(AddressBookTest, GetLastErrorGivesTheRecordThatIsSetUp) {
  LPMAPIERROR record = nullptr;
  EXPECT_EQ(S_OK, book->GetLastError(MAPI_E_CALL_FAILED, MAPI_UNICODE, &record));
  EXPECT_EQ(nullptr, record);
  provider.SetErrorInfo(memstore::ErrorInfo{WString(WSTR("The directory is offline")), std::nullopt, 0, 0x12});
  ASSERT_EQ(S_OK, session->GetLastError(MAPI_E_CALL_FAILED, MAPI_UNICODE, &record));
  ASSERT_NE(nullptr, record);
  EXPECT_EQ(WString(WSTR("The directory is offline")), WString(record->lpszError));
  EXPECT_EQ(nullptr, record->lpszComponent);
  EXPECT_EQ(0u, record->ulLowLevelError);
  EXPECT_EQ(0x12u, record->ulContext);
  plat::Mapi().MAPIFreeBuffer(record);
  record = nullptr;
  EXPECT_EQ(MAPI_E_BAD_CHARWIDTH, book->GetLastError(MAPI_E_CALL_FAILED, 0, &record));
  EXPECT_EQ(nullptr, record);
}

}  // namespace
