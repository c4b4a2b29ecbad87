// tessaro participants: the page's use of the participant search. The
// address book is the in-memory one with a few demo entries; its dialog is
// a numbered list in the terminal (or the numbers given with --pick). The
// chosen participants are then walked with the control's cursors and every
// property is printed as name = value.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/activation.h"
#include "host/commands.h"
#include "host/page_site.h"
#include "mapisearch/MapiSearchAX.h"
#include "memstore/MemStore.h"
#include "platform/com.h"
#include "platform/wstr.h"

namespace host {

namespace {

using memstore::AddressEntry;
using memstore::DialogChoice;
using memstore::Prop;

std::string U8(const WCHAR* text) { return text != nullptr ? wstr::ToUtf8(text) : std::string(); }

AddressEntry WithNames(AddressEntry e, const WCHAR* given, const WCHAR* surname) {
  e.properties.push_back(Prop::String(PROP_TAG(PT_UNICODE, 0x3A06), given));
  e.properties.push_back(Prop::String(PROP_TAG(PT_UNICODE, 0x3A11), surname));
  return e;
}

AddressEntry WithNumber(AddressEntry e, ULONG id, const WCHAR* number) {
  e.properties.push_back(Prop::String(PROP_TAG(PT_UNICODE, id), number));
  return e;
}

// The demo address book: Internet users, Exchange mailboxes with and without
// numbers, and a distribution list.
std::vector<AddressEntry> DemoEntries() {
  std::vector<AddressEntry> entries;
  entries.push_back(WithNumber(WithNames(memstore::SmtpUser(WSTR("Ann Lee"), WSTR("ann.lee@example.org")),
                                         WSTR("Ann"), WSTR("Lee")),
                               0x3A1C, WSTR("+1 555 0142")));
  entries.push_back(memstore::SmtpUser(WSTR("Support Desk"), WSTR("support@example.org")));
  AddressEntry bob = memstore::ExchangeUser(
      WSTR("Bob Stone"), WSTR("/o=Example/ou=Site/cn=Recipients/cn=bstone"),
      {WSTR("SMTP:bob.stone@example.org"), WSTR("smtp:bstone@example.org"), WSTR("X400:c=US;a= ;p=Example;s=Stone")});
  bob = WithNumber(WithNames(std::move(bob), WSTR("Bob"), WSTR("Stone")), 0x3A08, WSTR("+1 555 0100"));
  bob.properties.push_back(Prop::String(PROP_TAG(PT_UNICODE, 0x3A05), WSTR("Jr.")));
  entries.push_back(WithNumber(std::move(bob), 0x3A24, WSTR("+1 555 0199")));
  entries.push_back(memstore::ExchangeUser(WSTR("Carla Diaz"), WSTR("/o=Example/ou=Site/cn=Recipients/cn=cdiaz"),
                                           {WSTR("SMTP:carla.diaz@example.org")}));
  entries.push_back(memstore::DistList(WSTR("Project Team"), WSTR("EX"), WSTR("/o=Example/ou=Site/cn=team")));
  return entries;
}

// "1,3" or "1 3": numbers from 1 to count. False on anything else.
bool ParsePicks(const std::string& text, size_t count, std::vector<size_t>& picks) {
  picks.clear();
  const char* p = text.c_str();
  while (*p != 0) {
    if (*p == ',' || *p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') {
      ++p;
      continue;
    }
    char* end = nullptr;
    const long n = std::strtol(p, &end, 10);
    if (end == p || n < 1 || static_cast<size_t>(n) > count) return false;
    picks.push_back(static_cast<size_t>(n));
    p = end;
  }
  return true;
}

void Usage() { std::fprintf(stderr, "usage: tessaro participants [--pick N[,N...]]\n"); }

}  // namespace

int RunParticipants(int argc, char** argv) {
  bool havePick = false;
  std::string pickText;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pick") == 0 && i + 1 < argc) {
      havePick = true;
      pickText = argv[++i];
    } else {
      Usage();
      return 2;
    }
  }

  const std::vector<AddressEntry> entries = DemoEntries();
  std::vector<size_t> picks;
  if (havePick && !ParsePicks(pickText, entries.size(), picks)) {
    std::fprintf(stderr, "tessaro participants: --pick takes numbers from 1 to %lu\n",
                 static_cast<unsigned long>(entries.size()));
    return 2;
  }

  memstore::Provider provider;
  plat::Substitute<plat::MapiService> installed(provider);
  std::vector<memstore::EntryNumber> numbers;
  for (const AddressEntry& e : entries) numbers.push_back(provider.AddEntry(e));

  // The address book's dialog: the list, then the user's numbers.
  bool badInput = false;
  provider.SetChooser([&](const ADRPARM& params, ULONG_PTR) {
    std::printf("%s\n", U8(params.lpszCaption).c_str());
    for (size_t i = 0; i < entries.size(); ++i)
      std::printf("  %lu. %s <%s:%s>\n", static_cast<unsigned long>(i + 1), U8(entries[i].displayName.c_str()).c_str(),
                  U8(entries[i].addressType.c_str()).c_str(), U8(entries[i].emailAddress.c_str()).c_str());
    if (!havePick) {
      // The prompt goes to the error stream, so that the listing stays clean.
      std::fflush(stdout);
      std::fprintf(stderr, "Participants (numbers separated by commas, empty to cancel): ");
      std::fflush(stderr);
      char line[256];
      if (std::fgets(line, sizeof line, stdin) == nullptr) return DialogChoice::Cancel();
      if (!ParsePicks(line, entries.size(), picks)) {
        badInput = true;
        return DialogChoice::Cancel();
      }
      if (picks.empty()) return DialogChoice::Cancel();
    }
    std::vector<memstore::EntryNumber> chosen;
    for (size_t n : picks) chosen.push_back(numbers[n - 1]);
    return chosen.empty() ? DialogChoice::Nothing() : DialogChoice::Pick(chosen);
  });

  int status = 0;
  {
    ComPtr<IMapiSearch> search;
    if (FAILED(CreateControl(WSTR("ZLMTessaro.MapiSearchAX.214"), IID_IMapiSearch, search.ReceiveVoid()))) {
      std::fprintf(stderr, "tessaro participants: the participant search could not be created\n");
      return 1;
    }
    VARIANT hwnd;
    std::memset(&hwnd, 0, sizeof hwnd);
    hwnd.vt = VT_I4;
    const HRESULT hr = search->DoGetParticipantsDlg(hwnd);
    if (ReportRefused("DoGetParticipantsDlg", hr)) {
      status = 1;
    } else if (badInput) {
      std::fprintf(stderr, "tessaro participants: pick numbers from 1 to %lu\n",
                   static_cast<unsigned long>(entries.size()));
      status = 2;
    } else if (FAILED(hr)) {
      std::fprintf(stderr, "tessaro participants: the dialog failed with 0x%08lx\n",
                   static_cast<unsigned long>(hr));
      status = 1;
    } else {
      VARIANT value;
      VariantInit(&value);
      search->GetParticipantCount(&value);
      const LONG count = value.lVal;
      std::printf("%ld participant%s\n", static_cast<long>(count), count == 1 ? "" : "s");
      LONG index = 0;
      VARIANT more;
      VariantInit(&more);
      for (search->FirstParticipant(&more); more.boolVal == 1; search->NextParticipant(&more)) {
        std::printf("Participant %ld\n", static_cast<long>(++index));
        VARIANT prop;
        VariantInit(&prop);
        search->FirstProperty(&prop);
        do {
          BSTR name = nullptr;
          BSTR text = nullptr;
          if (FAILED(search->GetPropertyName(&name))) break;
          search->GetPropertyValue(&text);
          std::printf("  %s = %s\n", U8(name).c_str(), U8(text).c_str());
          SysFreeString(name);
          SysFreeString(text);
          search->NextProperty(&prop);
        } while (prop.boolVal == 1);
      }
    }
    ReportRefused("DoLogout", search->DoLogout());
  }
  return status;
}

}  // namespace host
