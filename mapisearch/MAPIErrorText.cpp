#include "mapisearch/MAPIErrorText.h"

#include <cstdio>
#include <cstring>

#include "platform/services.h"
#include "platform/wformat.h"

namespace {

struct SymbolRow {
  ULONG value;
  const char* symbol;
};

struct SymbolTable {
  const char* name;
  const SymbolRow* rows;
  size_t count;
};

#define SYMBOL_ROW(name) {static_cast<ULONG>(name), #name}

// Status codes to their names. Where a value stands in two rows the first
// one names it, so the order of the rows is part of what the texts say.
const SymbolRow kMAPIErrors[] = {
    SYMBOL_ROW(SUCCESS_SUCCESS),
    SYMBOL_ROW(MAPI_E_CALL_FAILED),
    SYMBOL_ROW(MAPI_E_NOT_ENOUGH_MEMORY),
    SYMBOL_ROW(MAPI_E_INVALID_PARAMETER),
    SYMBOL_ROW(MAPI_E_INTERFACE_NOT_SUPPORTED),
    SYMBOL_ROW(MAPI_E_NO_ACCESS),
    SYMBOL_ROW(MAPI_E_NO_SUPPORT),
    SYMBOL_ROW(MAPI_E_BAD_CHARWIDTH),
    SYMBOL_ROW(MAPI_E_STRING_TOO_LONG),
    SYMBOL_ROW(MAPI_E_UNKNOWN_FLAGS),
    SYMBOL_ROW(MAPI_E_INVALID_ENTRYID),
    SYMBOL_ROW(MAPI_E_INVALID_OBJECT),
    SYMBOL_ROW(MAPI_E_OBJECT_CHANGED),
    SYMBOL_ROW(MAPI_E_OBJECT_DELETED),
    SYMBOL_ROW(MAPI_E_BUSY),
    SYMBOL_ROW(MAPI_E_NOT_ENOUGH_DISK),
    SYMBOL_ROW(MAPI_E_NOT_ENOUGH_RESOURCES),
    SYMBOL_ROW(MAPI_E_NOT_FOUND),
    SYMBOL_ROW(MAPI_E_VERSION),
    SYMBOL_ROW(MAPI_E_LOGON_FAILED),
    SYMBOL_ROW(MAPI_E_SESSION_LIMIT),
    SYMBOL_ROW(MAPI_E_USER_CANCEL),
    SYMBOL_ROW(MAPI_E_UNABLE_TO_ABORT),
    SYMBOL_ROW(MAPI_E_NETWORK_ERROR),
    SYMBOL_ROW(MAPI_E_DISK_ERROR),
    SYMBOL_ROW(MAPI_E_TOO_COMPLEX),
    SYMBOL_ROW(MAPI_E_BAD_COLUMN),
    SYMBOL_ROW(MAPI_E_EXTENDED_ERROR),
    SYMBOL_ROW(MAPI_E_COMPUTED),
    SYMBOL_ROW(MAPI_E_END_OF_SESSION),
    SYMBOL_ROW(MAPI_E_UNKNOWN_ENTRYID),
    SYMBOL_ROW(MAPI_E_MISSING_REQUIRED_COLUMN),
    SYMBOL_ROW(MAPI_W_NO_SERVICE),
    SYMBOL_ROW(MAPI_E_BAD_VALUE),
    SYMBOL_ROW(MAPI_E_INVALID_TYPE),
    SYMBOL_ROW(MAPI_E_TYPE_NO_SUPPORT),
    SYMBOL_ROW(MAPI_E_UNEXPECTED_TYPE),
    SYMBOL_ROW(MAPI_E_TOO_BIG),
    SYMBOL_ROW(MAPI_W_ERRORS_RETURNED),
    SYMBOL_ROW(MAPI_E_UNABLE_TO_COMPLETE),
    SYMBOL_ROW(MAPI_E_TABLE_EMPTY),
    SYMBOL_ROW(MAPI_E_TABLE_TOO_BIG),
    SYMBOL_ROW(MAPI_E_INVALID_BOOKMARK),
    SYMBOL_ROW(MAPI_W_POSITION_CHANGED),
    SYMBOL_ROW(MAPI_W_APPROX_COUNT),
    SYMBOL_ROW(MAPI_E_WAIT),
    SYMBOL_ROW(MAPI_E_CANCEL),
    SYMBOL_ROW(MAPI_E_NOT_ME),
    SYMBOL_ROW(MAPI_W_CANCEL_MESSAGE),
    SYMBOL_ROW(MAPI_E_CORRUPT_STORE),
    SYMBOL_ROW(MAPI_E_NOT_IN_QUEUE),
    SYMBOL_ROW(MAPI_E_NO_SUPPRESS),
    SYMBOL_ROW(MAPI_E_COLLISION),
    SYMBOL_ROW(MAPI_E_NOT_INITIALIZED),
    SYMBOL_ROW(MAPI_E_NON_STANDARD),
    SYMBOL_ROW(MAPI_E_NO_RECIPIENTS),
    SYMBOL_ROW(MAPI_E_SUBMITTED),
    SYMBOL_ROW(MAPI_E_HAS_FOLDERS),
    SYMBOL_ROW(MAPI_E_HAS_MESSAGES),
    SYMBOL_ROW(MAPI_E_FOLDER_CYCLE),
    SYMBOL_ROW(MAPI_W_PARTIAL_COMPLETION),
    SYMBOL_ROW(MAPI_E_AMBIGUOUS_RECIP),
    SYMBOL_ROW(MAPI_USER_ABORT),
    SYMBOL_ROW(MAPI_E_USER_ABORT),
    SYMBOL_ROW(MAPI_E_FAILURE),
    SYMBOL_ROW(MAPI_E_LOGON_FAILURE),
    SYMBOL_ROW(MAPI_E_LOGIN_FAILURE),
    SYMBOL_ROW(MAPI_E_DISK_FULL),
    SYMBOL_ROW(MAPI_E_INSUFFICIENT_MEMORY),
    SYMBOL_ROW(MAPI_E_ACCESS_DENIED),
    SYMBOL_ROW(MAPI_E_TOO_MANY_SESSIONS),
    SYMBOL_ROW(MAPI_E_TOO_MANY_FILES),
    SYMBOL_ROW(MAPI_E_TOO_MANY_RECIPIENTS),
    SYMBOL_ROW(MAPI_E_ATTACHMENT_NOT_FOUND),
    SYMBOL_ROW(MAPI_E_ATTACHMENT_OPEN_FAILURE),
    SYMBOL_ROW(MAPI_E_ATTACHMENT_WRITE_FAILURE),
    SYMBOL_ROW(MAPI_E_UNKNOWN_RECIPIENT),
    SYMBOL_ROW(MAPI_E_BAD_RECIPTYPE),
    SYMBOL_ROW(MAPI_E_NO_MESSAGES),
    SYMBOL_ROW(MAPI_E_INVALID_MESSAGE),
    SYMBOL_ROW(MAPI_E_TEXT_TOO_LARGE),
    SYMBOL_ROW(MAPI_E_INVALID_SESSION),
    SYMBOL_ROW(MAPI_E_TYPE_NOT_SUPPORTED),
    SYMBOL_ROW(MAPI_E_AMBIGUOUS_RECIPIENT),
    SYMBOL_ROW(MAPI_E_AMBIG_RECIP),
    SYMBOL_ROW(MAPI_E_MESSAGE_IN_USE),
    SYMBOL_ROW(MAPI_E_NETWORK_FAILURE),
    SYMBOL_ROW(MAPI_E_INVALID_EDITFIELDS),
    SYMBOL_ROW(MAPI_E_INVALID_RECIPS),
    SYMBOL_ROW(MAPI_E_NOT_SUPPORTED),
    SYMBOL_ROW(E_NOTIMPL),
    SYMBOL_ROW(E_UNEXPECTED),
    SYMBOL_ROW(E_OUTOFMEMORY),
    SYMBOL_ROW(E_INVALIDARG),
    SYMBOL_ROW(E_NOINTERFACE),
    SYMBOL_ROW(E_POINTER),
    SYMBOL_ROW(E_HANDLE),
    SYMBOL_ROW(E_ABORT),
};
static_assert(sizeof kMAPIErrors / sizeof kMAPIErrors[0] == 98, "one row per status code name");

#undef SYMBOL_ROW

// Only the status code table is consulted anywhere in the product, so it is
// the only one carried; any other table name finds nothing.
const SymbolTable kTables[] = {
    {"MAPIErrors", kMAPIErrors, sizeof kMAPIErrors / sizeof kMAPIErrors[0]},
};

constexpr size_t kPart = 80;  // one part of the error name buffer

bool SameNameNoCase(const char* a, const char* b) {
  for (; *a != 0 && *b != 0; ++a, ++b) {
    char ca = *a, cb = *b;
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<char>(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<char>(cb - 'A' + 'a');
    if (ca != cb) return false;
  }
  return *a == *b;
}

void AppendWide(WString& text, const char* narrow) {
  // The texts here are the operation names and symbols: ASCII, so the ANSI
  // code page converts them the same everywhere.
  const int needed = plat::Locale().MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
  if (needed <= 1) return;
  WString wide(static_cast<size_t>(needed), 0);
  plat::Locale().MultiByteToWideChar(CP_ACP, 0, narrow, -1, &wide[0], needed);
  wide.resize(static_cast<size_t>(needed - 1));
  text += wide;
}

}  // namespace

const char* LookupMAPISymbol(const char* table, ULONG value, char* buffer) {
  if (table == nullptr) return nullptr;
  for (const SymbolTable& t : kTables) {
    if (!SameNameNoCase(t.name, table)) continue;
    for (size_t i = 0; i < t.count; ++i) {
      if (t.rows[i].value != value) continue;
      if (buffer == nullptr) return t.rows[i].symbol;
      std::snprintf(buffer, kPart, "%s", t.rows[i].symbol);
      return buffer;
    }
    if (buffer != nullptr) std::snprintf(buffer, kPart, "0x%08X", static_cast<unsigned>(value));
    return nullptr;
  }
  return nullptr;
}

char* FormatMAPIErrorName(char* buffer, const char* operation, HRESULT hr) {
  std::memset(buffer, 0, kMAPIErrorNameSize);
  char* first = buffer;
  char* second = buffer + kPart;
  char* third = buffer + 2 * kPart;
  // A name of 78 characters or more is cut at 79 and leaves no room for the
  // rest.
  std::snprintf(first, kPart, "%s: ", operation != nullptr ? operation : "");
  if (LookupMAPISymbol("MAPIErrors", static_cast<ULONG>(hr), second) == nullptr) {
    std::snprintf(third, kPart, " 0x%04x", static_cast<unsigned>(hr));
    std::memset(second, 0, kPart);
    std::memcpy(second, "??", 2);
    std::strncat(second, third, kPart - 3);
  }
  char joined[kPart];
  std::snprintf(joined, sizeof joined, "%s%s", first, second);
  std::memcpy(first, joined, sizeof joined);
  return first;
}

WString ComposeMAPIErrorText(HRESULT hr, const char* operation, const MAPIERROR* record) {
  char name[kMAPIErrorNameSize];
  WString text;
  AppendWide(text, FormatMAPIErrorName(name, operation, hr));
  if (record == nullptr) return text;
  WCHAR number[16];
  if (record->lpszError != nullptr) {
    text += WSTR("\r\n\r\n");
    text += record->lpszError;
  }
  if (record->ulLowLevelError != 0) {
    text += WSTR("\r\nGetLastError(lpMAPIError->ulLowLevelError): ");
    wfmt::Format(number, 16, WSTR("0x%04x"), record->ulLowLevelError);
    text += number;
  }
  if (record->lpszComponent != nullptr) {
    text += WSTR("\r\nlpMAPIError->Component: ");
    text += record->lpszComponent;
  }
  if (record->ulContext != 0) {
    text += WSTR("\r\nGetLastError(lpMAPIError->ulContext): ");
    wfmt::Format(number, 16, WSTR("0x%04x"), record->ulContext);
    text += number;
  }
  return text;
}
