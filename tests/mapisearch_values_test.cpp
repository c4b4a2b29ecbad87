// The participant search's texts: status code names, extended error text,
// the property table's order and one participant's property values.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "mapisearch/MAPIErrorText.h"
#include "mapisearch/MAPIParSelUI.h"
#include "memstore/MemStore.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::U8;

// ---- status code names ----------------------------------------------------------

std::string Name(const char* operation, HRESULT hr) {
  char buffer[kMAPIErrorNameSize];
  std::memset(buffer, 'x', sizeof buffer);
  return FormatMAPIErrorName(buffer, operation, hr);
}

TEST(MapiSearchErrorName, KnownCodesNameTheirSymbolAndTheFirstRowWins) {
  EXPECT_EQ("MAPILogon: MAPI_E_LOGON_FAILED", Name("MAPILogon", static_cast<HRESULT>(0x80040111)));
  EXPECT_EQ("X: MAPI_E_NOT_ENOUGH_MEMORY", Name("X", static_cast<HRESULT>(0x8007000E)));
  EXPECT_EQ("X: MAPI_E_INVALID_PARAMETER", Name("X", static_cast<HRESULT>(0x80070057)));
  EXPECT_EQ("X: MAPI_E_INTERFACE_NOT_SUPPORTED", Name("X", static_cast<HRESULT>(0x80004002)));
  EXPECT_EQ("X: MAPI_USER_ABORT", Name("X", 1));
  EXPECT_EQ("X: MAPI_E_LOGON_FAILURE", Name("X", 3));
  EXPECT_EQ("X: MAPI_E_AMBIGUOUS_RECIPIENT", Name("X", 21));
  EXPECT_EQ("X: MAPI_E_USER_CANCEL", Name("X", static_cast<HRESULT>(0x80040113)));
  EXPECT_EQ("X: MAPI_E_NOT_FOUND", Name("X", static_cast<HRESULT>(0x8004010F)));
  EXPECT_EQ("X: MAPI_W_ERRORS_RETURNED", Name("X", static_cast<HRESULT>(0x00040380)));
  EXPECT_EQ("X: E_HANDLE", Name("X", static_cast<HRESULT>(0x80070006)));
  EXPECT_EQ("X: E_ABORT", Name("X", static_cast<HRESULT>(0x80004004)));
  EXPECT_EQ("X: SUCCESS_SUCCESS", Name("X", 0));
}

TEST(MapiSearchErrorName, UnknownCodesGiveQuestionMarksAndLowerCaseHex) {
  // MAPI_E_CORRUPT_DATA is not among the rows.
  EXPECT_EQ("Logoff: ?? 0x8004011b", Name("Logoff", static_cast<HRESULT>(0x8004011B)));
  EXPECT_EQ("Logoff: ?? 0x0abc", Name("Logoff", 0xABC));
  // A name too long for its part is cut at 79 characters.
  const std::string longName(200, 'n');
  EXPECT_EQ(std::string(79, 'n'), Name(longName.c_str(), static_cast<HRESULT>(0x80040111)));
  EXPECT_EQ(std::string(70, 'n') + ": MAPI_E_",
            Name(std::string(70, 'n').c_str(), static_cast<HRESULT>(0x80040111)));
}

TEST(MapiSearchErrorName, LookupIgnoresTheTableNamesCaseAndLeavesBuffersOfUnknownTablesAlone) {
  EXPECT_STREQ("MAPI_E_NOT_FOUND", LookupMAPISymbol("mapierrors", static_cast<ULONG>(0x8004010F)));
  char buffer[80] = "untouched";
  EXPECT_EQ(nullptr, LookupMAPISymbol("NoSuchTable", 0, buffer));
  EXPECT_STREQ("untouched", buffer);
  EXPECT_EQ(nullptr, LookupMAPISymbol("MAPIErrors", 0x12345678, buffer));
  EXPECT_STREQ("0x12345678", buffer);
  EXPECT_EQ(buffer, LookupMAPISymbol("MAPIERRORS", 0, buffer));
  EXPECT_STREQ("SUCCESS_SUCCESS", buffer);
}

// ---- extended error text ----------------------------------------------------------

// An object with GetLastError, as the session and the address book have.
struct ErrorSource {
  std::optional<MAPIERROR> record;
  HRESULT answer = S_OK;
  int calls = 0;
  HRESULT GetLastError(HRESULT, ULONG flags, LPMAPIERROR* out) {
    ++calls;
    EXPECT_EQ(MAPI_UNICODE, flags);
    *out = nullptr;
    if (FAILED(answer) || !record) return answer;
    LPVOID block = nullptr;
    plat::Mapi().MAPIAllocateBuffer(sizeof(MAPIERROR), &block);
    *out = static_cast<LPMAPIERROR>(block);
    **out = *record;
    return S_OK;
  }
};

class MapiSearchErrorText : public ::testing::Test {
 protected:
  memstore::Provider provider;
  plat::Substitute<plat::MapiService> installed{provider};
};

TEST_F(MapiSearchErrorText, RecordFieldsFollowInTheirOwnOrder) {
  WCHAR description[] = WSTR("The server is down");
  WCHAR component[] = WSTR("Directory");
  ErrorSource source;
  source.record = MAPIERROR{0, description, nullptr, 0, 0x12};
  WString text;
  BuildMAPIErrorText(&source, static_cast<HRESULT>(0x80040115), "Logoff", text);
  EXPECT_EQ(U8(WSTR("Logoff: MAPI_E_NETWORK_ERROR\r\n\r\nThe server is down\r\n"
                    "GetLastError(lpMAPIError->ulContext): 0x0012")),
            U8(text));

  source.record = MAPIERROR{0, nullptr, component, 0x5, 0x1234};
  BuildMAPIErrorText(&source, static_cast<HRESULT>(0x80040115), "Logoff", text);
  EXPECT_EQ(U8(WSTR("Logoff: MAPI_E_NETWORK_ERROR\r\nGetLastError(lpMAPIError->ulLowLevelError): 0x0005"
                    "\r\nlpMAPIError->Component: Directory\r\nGetLastError(lpMAPIError->ulContext): 0x1234")),
            U8(text));
  EXPECT_EQ(0, provider.LiveBuffers());
}

TEST_F(MapiSearchErrorText, NoRecordGivesTheNameAloneAndCancelAsksNothing) {
  ErrorSource source;
  source.answer = MAPI_E_CALL_FAILED;
  WString text;
  BuildMAPIErrorText(&source, MAPI_E_NOT_FOUND, "IAddrBook::PrepareRecips", text);
  EXPECT_EQ("IAddrBook::PrepareRecips: MAPI_E_NOT_FOUND", U8(text));

  text = WSTR("kept");
  source.calls = 0;
  BuildMAPIErrorText(&source, MAPI_E_USER_CANCEL, "Logoff", text);
  EXPECT_EQ("kept", U8(text));
  EXPECT_EQ(0, source.calls);
}

// ---- the property table ------------------------------------------------------------

TEST(MapiSearchPropMap, RequestsTheTwentyFourTagsInTheTablesWalkOrder) {
  MAPIParSelUI ui;
  EXPECT_EQ(28u, ui.PropMap.GetCount());
  const std::vector<ULONG> expected = {
      0x3A1B001F, 0x3003001F, 0x3A1C001F, 0x3A1D001F, 0x3A1E001F, 0x3A1F001F, 0x3A21001F, 0x3A11001F,
      0x3A44001F, 0x3A23001F, 0x3A24001F, 0x0FF90102, 0x3A25001F, 0x0FFA0102, 0x0FFB0102, 0x3A06001F,
      0x3A17001F, 0x0FFE0003, 0x3A08001F, 0x0FFF0102, 0x3001001F, 0x3A1A001F, 0x3A09001F, 0x3002001F};
  EXPECT_EQ(expected, ui.RequestedTags());
  // The phone and fax entries are exactly the PIDs with bit 0x10.
  ui.PropMap.ForEach([](ULONG, const PropXlate& x) {
    const bool phone = x.m_ulPID >= 17 && x.m_ulPID <= 28;
    EXPECT_EQ(phone, (x.m_ulPID & kPidPhoneBit) != 0) << x.m_ulPID;
  });
  EXPECT_EQ("Distribution list object", U8(ui.ObjectTypeName(8)));
  EXPECT_EQ("Unknown/Unexpected object type", U8(ui.ObjectTypeName(13)));
}

TEST(MapiSearchPropMap, SmtpProxyPrefixes) {
  for (const WCHAR* yes : {WSTR("SMTP:a@b"), WSTR("smtp:a@b"), WSTR("S:x"), WSTR("sm:x"), WSTR("Smt:x:y")})
    EXPECT_TRUE(MAPIParSelUI::IsSmtpProxy(yes)) << U8(yes);
  for (const WCHAR* no : {WSTR("X400:c=US"), WSTR("X500:/o=Org"), WSTR("SMTPX:a"), WSTR("SMTP"), WSTR(""),
                          WSTR(":a@b")})
    EXPECT_FALSE(MAPIParSelUI::IsSmtpProxy(no)) << U8(no);
  EXPECT_FALSE(MAPIParSelUI::IsSmtpProxy(nullptr));
}

// ---- one participant's values --------------------------------------------------------

// One value of a hand-made resolved entry.
struct Value {
  ULONG tag;
  WString text;
  std::vector<BYTE> bytes;
  LONG number = 0;
  static Value Text(ULONG tag, const WString& t) { return {tag, t, {}, 0}; }
  static Value Bytes(ULONG tag, std::vector<BYTE> b) { return {tag, {}, std::move(b), 0}; }
  static Value Number(ULONG tag, LONG n) { return {tag, {}, {}, n}; }
};

const ULONG kAddrType = PROP_TAG(PT_UNICODE, 0x3002);
const ULONG kDisplayName = PROP_TAG(PT_UNICODE, 0x3001);
const ULONG kEmail = PROP_TAG(PT_UNICODE, 0x3003);
const ULONG kGiven = PROP_TAG(PT_UNICODE, 0x3A06);
const ULONG kSurname = PROP_TAG(PT_UNICODE, 0x3A11);
const ULONG kGeneration = PROP_TAG(PT_UNICODE, 0x3A05);
const ULONG kInitials = PROP_TAG(PT_UNICODE, 0x3A0A);
const ULONG kOfficePhone = PROP_TAG(PT_UNICODE, 0x3A08);
const ULONG kHomeFax = PROP_TAG(PT_UNICODE, 0x3A25);

LPADRLIST MakeList(const std::vector<std::vector<Value>>& entries) {
  plat::MapiService& mapi = plat::Mapi();
  LPVOID block = nullptr;
  mapi.MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(entries.size())), &block);
  auto* list = static_cast<LPADRLIST>(block);
  list->cEntries = static_cast<ULONG>(entries.size());
  for (size_t e = 0; e < entries.size(); ++e) {
    ADRENTRY& entry = list->aEntries[e];
    entry.ulReserved1 = 0;
    entry.cValues = static_cast<ULONG>(entries[e].size());
    LPVOID values = nullptr;
    mapi.MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (entries[e].size() + 1)), &values);
    entry.rgPropVals = static_cast<LPSPropValue>(values);
    for (size_t i = 0; i < entries[e].size(); ++i) {
      const Value& v = entries[e][i];
      SPropValue& out = entry.rgPropVals[i];
      std::memset(&out, 0, sizeof out);
      out.ulPropTag = v.tag;
      switch (PROP_TYPE(v.tag)) {
        case PT_UNICODE: {
          LPVOID text = nullptr;
          mapi.MAPIAllocateMore(static_cast<ULONG>((v.text.size() + 1) * sizeof(WCHAR)), values, &text);
          std::memcpy(text, v.text.c_str(), (v.text.size() + 1) * sizeof(WCHAR));
          out.Value.lpszW = static_cast<LPWSTR>(text);
          break;
        }
        case PT_STRING8: {
          const std::string narrow = U8(v.text);
          LPVOID text = nullptr;
          mapi.MAPIAllocateMore(static_cast<ULONG>(narrow.size() + 1), values, &text);
          std::memcpy(text, narrow.c_str(), narrow.size() + 1);
          out.Value.lpszA = static_cast<LPSTR>(text);
          break;
        }
        case PT_BINARY: {
          LPVOID bytes = nullptr;
          mapi.MAPIAllocateMore(static_cast<ULONG>(v.bytes.size() + 1), values, &bytes);
          if (!v.bytes.empty()) std::memcpy(bytes, v.bytes.data(), v.bytes.size());
          out.Value.bin.cb = static_cast<ULONG>(v.bytes.size());
          out.Value.bin.lpb = static_cast<LPBYTE>(bytes);
          break;
        }
        case PT_ERROR:
          out.Value.err = v.number;
          break;
        default:
          out.Value.l = v.number;
          break;
      }
    }
  }
  return list;
}

class MapiSearchValues : public ::testing::Test {
 protected:
  // The set of the participant at the cursor as (name, value) pairs; a null
  // value reads as "<null>".
  std::vector<std::pair<std::string, std::string>> Set(ULONG participant = 0) {
    ui.m_nParticipant = participant;
    VARIANT count;
    std::memset(&count, 0, sizeof count);
    EXPECT_EQ(S_OK, ui.GetParticipantPropertySetCount(&count));
    EXPECT_EQ(VT_I4, count.vt);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (LONG i = 0; i < count.lVal; ++i) {
      VARIANT pos;
      std::memset(&pos, 0, sizeof pos);
      pos.vt = VT_I4;
      pos.lVal = i;
      BSTR name = nullptr;
      BSTR value = reinterpret_cast<BSTR>(1);
      ui.GetParticipantPropertyName(pos, &name);
      ui.GetParticipantPropertyValue(pos, &value);
      pairs.emplace_back(U8(name), value != nullptr ? U8(value) : "<null>");
      SysFreeString(name);
      SysFreeString(value);
    }
    return pairs;
  }

  memstore::Provider provider;
  plat::Substitute<plat::MapiService> installed{provider};
  MAPIParSelUI ui;
};

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST_F(MapiSearchValues, SmtpParticipantInTheEntrysOrder) {
  ui.m_AddrList = MakeList({{
      Value::Text(kAddrType, WSTR("SMTP")),
      Value::Text(kDisplayName, WSTR("Ann Lee")),
      Value::Number(PROP_TAG(PT_ERROR, 0x3A08), static_cast<LONG>(MAPI_E_NOT_FOUND)),
      Value::Text(kEmail, WSTR("ann@example.org")),
      Value::Bytes(PR_ENTRYID, {0x00, 0xAB, 0x0F}),
      Value::Number(PR_OBJECT_TYPE, 6),
      Value::Number(PR_RECIPIENT_TYPE, 1),      // not shown
      Value::Text(kSurname, WSTR("")),          // empty texts are left out
      Value::Bytes(PR_RECORD_KEY, {}),          // empty bytes are kept
      Value::Text(kInitials, WSTR("A.")),       // not in the table
  }});
  EXPECT_EQ((Pairs{{"PID_ADDRTYPE", "SMTP"},
                   {"PID_DISPLAY_NAME", "Ann Lee"},
                   {"PID_OFFICE_TELEPHONE_NUMBER", "<null>"},
                   {"PID_EMAIL_ADDRESS", "ann@example.org"},
                   {"PID_ENTRYID", "00AB0F"},
                   {"PID_OBJECT_TYPE", "Messaging user object"},
                   {"PID_RECORD_KEY", ""},
                   {"unknown-property", "A."},
                   {"PID_FULLNAME", "A."}}),
            Set());
}

TEST_F(MapiSearchValues, FullNameJoinsInitialsGivenNameSurnameAndGeneration) {
  ui.m_AddrList = MakeList({
      {Value::Text(kGiven, WSTR("John")), Value::Text(kSurname, WSTR("Smith")),
       Value::Text(kGeneration, WSTR("Jr."))},
      {Value::Text(kSurname, WSTR("Smith")), Value::Text(kGiven, WSTR("John"))},
      {Value::Text(kGiven, WSTR("John")), Value::Text(kInitials, WSTR("J.Q."))},
      // Narrow forms are shown but take no part in the name.
      {Value::Text(PROP_TAG(PT_STRING8, 0x3A06), WSTR("Joerg"))},
  });
  EXPECT_EQ("John Smith Jr.", Set(0).back().second);
  EXPECT_EQ("John Smith", Set(1).back().second);
  EXPECT_EQ((std::pair<std::string, std::string>("PID_FULLNAME", "J.Q. John")), Set(2).back());
  EXPECT_EQ((Pairs{{"PID_GIVEN_NAME", "Joerg"}}), Set(3));
}

TEST_F(MapiSearchValues, ExchangeEntriesWithoutNumbersAreEmptyButListsAndNumberedOnesAreNot) {
  ui.m_AddrList = MakeList({
      {Value::Text(kAddrType, WSTR("EX")), Value::Text(kDisplayName, WSTR("Mailbox")),
       Value::Text(kEmail, WSTR("/o=Org/cn=box")), Value::Number(PR_OBJECT_TYPE, 6)},
      {Value::Text(kAddrType, WSTR("EX")), Value::Text(kEmail, WSTR("/o=Org/cn=list")),
       Value::Number(PR_OBJECT_TYPE, 8)},
      {Value::Text(kAddrType, WSTR("EX")), Value::Text(kEmail, WSTR("/o=Org/cn=bob")),
       Value::Number(PROP_TAG(PT_ERROR, 0x3A25), static_cast<LONG>(MAPI_E_NOT_FOUND))},
      {Value::Text(kAddrType, WSTR("ex")), Value::Text(kEmail, WSTR("/o=Org/cn=lower"))},
      {},
  });
  EXPECT_EQ(Pairs{}, Set(0));
  EXPECT_EQ(nullptr, ui.m_psaPropIDs);
  EXPECT_EQ(nullptr, ui.m_psaPropValues);
  EXPECT_EQ((Pairs{{"PID_ADDRTYPE", "EX"}, {"PID_OBJECT_TYPE", "Distribution list object"}}), Set(1));
  // A PT_ERROR number counts as a number; the X.500 address is left out.
  EXPECT_EQ((Pairs{{"PID_ADDRTYPE", "EX"}, {"PID_HOME_FAX_NUMBER", "<null>"}}), Set(2));
  // The test of the address type is exact.
  EXPECT_EQ((Pairs{{"PID_ADDRTYPE", "ex"}, {"PID_EMAIL_ADDRESS", "/o=Org/cn=lower"}}), Set(3));
  EXPECT_EQ(Pairs{}, Set(4));
  EXPECT_EQ(nullptr, ui.m_psaPropIDs);
}

TEST_F(MapiSearchValues, CursorBeyondTheListKeepsThePreviousSet) {
  ui.m_AddrList = MakeList({{Value::Text(kDisplayName, WSTR("Only"))}});
  EXPECT_EQ(1u, Set(0).size());
  SAFEARRAY* before = ui.m_psaPropIDs;
  ui.m_nParticipant = 1;
  VARIANT count;
  count.vt = VT_EMPTY;
  EXPECT_EQ(E_ABORT, ui.GetParticipantPropertySetCount(&count));
  EXPECT_EQ(VT_EMPTY, count.vt);
  EXPECT_EQ(before, ui.m_psaPropIDs);
}

TEST_F(MapiSearchValues, ErrorValuesOtherThanNotFoundCarryTheirText) {
  ui.m_AddrList = MakeList({{Value::Number(PROP_TAG(PT_ERROR, 0x3A08), static_cast<LONG>(MAPI_E_NO_ACCESS)),
                             Value::Number(PROP_TAG(PT_ERROR, 0x7777), static_cast<LONG>(0x8004011B))}});
  EXPECT_EQ((Pairs{{"PID_OFFICE_TELEPHONE_NUMBER", "IAddrBook::PrepareRecips: MAPI_E_NO_ACCESS"},
                   {"unknown-property", "IAddrBook::PrepareRecips: ?? 0x8004011b"}}),
            Set());
}

}  // namespace
