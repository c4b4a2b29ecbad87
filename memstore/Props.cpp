// Property values: how the provider keeps them, hands them out in MAPI
// buffers and takes them in; entry ids; restrictions; the IMAPIProp pieces
// shared by every object.
#include <algorithm>
#include <cstring>
#include <limits>

#include "memstore/Internal.h"

namespace memstore {

// ---- Prop ------------------------------------------------------------------------

namespace {

std::vector<BYTE> UnitsOf(const WString& text) {
  std::vector<BYTE> bytes((text.size() + 1) * sizeof(WCHAR));
  std::memcpy(bytes.data(), text.c_str(), bytes.size());
  return bytes;
}

LONGLONG TicksOf(const FILETIME& ft) {
  return static_cast<LONGLONG>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

FILETIME FileTimeOfTicks(LONGLONG ticks) {
  const ULONGLONG t = static_cast<ULONGLONG>(ticks);
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

// The wide strings packed in a multi-valued value: each with its terminator.
std::vector<WString> Unpack(const std::vector<BYTE>& data, size_t count) {
  std::vector<WString> out;
  out.reserve(count);
  const size_t units = data.size() / sizeof(WCHAR);
  const WCHAR* p = reinterpret_cast<const WCHAR*>(data.data());
  size_t at = 0;
  while (out.size() < count && at < units) {
    size_t end = at;
    while (end < units && p[end] != 0) ++end;
    out.emplace_back(p + at, end - at);
    at = end + 1;
  }
  return out;
}

}  // namespace

Prop Prop::Long(ULONG tag, LONG value) {
  Prop p;
  p.m_tag = CHANGE_PROP_TYPE(tag, PT_LONG);
  p.m_scalar = value;
  return p;
}

Prop Prop::Bool(ULONG tag, bool value) {
  Prop p;
  p.m_tag = CHANGE_PROP_TYPE(tag, PT_BOOLEAN);
  p.m_scalar = value ? 1 : 0;
  return p;
}

Prop Prop::Time(ULONG tag, const FILETIME& value) {
  Prop p;
  p.m_tag = CHANGE_PROP_TYPE(tag, PT_SYSTIME);
  p.m_scalar = TicksOf(value);
  return p;
}

Prop Prop::String(ULONG tag, const WString& value) {
  Prop p;
  p.m_tag = CHANGE_PROP_TYPE(tag, PT_UNICODE);
  p.m_data = UnitsOf(value);
  return p;
}

Prop Prop::Binary(ULONG tag, std::vector<BYTE> value) {
  Prop p;
  p.m_tag = CHANGE_PROP_TYPE(tag, PT_BINARY);
  p.m_data = std::move(value);
  return p;
}

Prop Prop::Strings(ULONG tag, const std::vector<WString>& values) {
  Prop p;
  p.m_tag = CHANGE_PROP_TYPE(tag, PT_MV_UNICODE);
  p.m_scalar = static_cast<LONGLONG>(values.size());
  for (const WString& v : values) {
    const std::vector<BYTE> units = UnitsOf(v);
    p.m_data.insert(p.m_data.end(), units.begin(), units.end());
  }
  return p;
}

Prop Prop::Error(ULONG tag, SCODE error) {
  Prop p;
  p.m_tag = CHANGE_PROP_TYPE(tag, PT_ERROR);
  p.m_scalar = error;
  return p;
}

FILETIME Prop::AsTime() const { return FileTimeOfTicks(m_scalar); }

WString Prop::AsString() const {
  if (m_data.size() < sizeof(WCHAR)) return {};
  return WString(reinterpret_cast<const WCHAR*>(m_data.data()), m_data.size() / sizeof(WCHAR) - 1);
}

std::vector<WString> Prop::AsStrings() const { return Unpack(m_data, static_cast<size_t>(m_scalar)); }

const Prop* FindProp(const PropList& props, ULONG id) {
  for (const Prop& p : props)
    if (p.Id() == id) return &p;
  return nullptr;
}

std::string Utf8(const WString& text) { return wstr::ToUtf8(text); }

// ---- entry ids ---------------------------------------------------------------------

namespace {

constexpr BYTE kProviderUid[16] = {0x7E, 0x55, 0x0A, 0x40, 0x4D, 0x45, 0x4D, 0x53,
                                   0x54, 0x4F, 0x52, 0x45, 0x91, 0x2C, 0x03, 0xB6};

void Put32(BYTE* p, ULONG v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}
ULONG Get32(const BYTE* p) {
  return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16) |
         (static_cast<ULONG>(p[3]) << 24);
}

}  // namespace

std::vector<BYTE> MakeEntryId(Kind kind, ULONG store, ULONG number) {
  std::vector<BYTE> id(kEntryIdSize, 0);
  std::memcpy(id.data() + 4, kProviderUid, sizeof kProviderUid);
  Put32(id.data() + 20, static_cast<ULONG>(kind));
  Put32(id.data() + 24, store);
  Put32(id.data() + 28, number);
  return id;
}

bool ParseEntryId(ULONG cb, const void* bytes, EntryRef& ref) {
  if (bytes == nullptr || cb != kEntryIdSize) return false;
  const BYTE* p = static_cast<const BYTE*>(bytes);
  if (std::memcmp(p + 4, kProviderUid, sizeof kProviderUid) != 0) return false;
  const ULONG kind = Get32(p + 20);
  if (kind < static_cast<ULONG>(Kind::Store) || kind > static_cast<ULONG>(Kind::AbEntry)) return false;
  ref.kind = static_cast<Kind>(kind);
  ref.store = Get32(p + 24);
  ref.number = Get32(p + 28);
  return true;
}

bool SameEntryId(ULONG cb1, const void* id1, ULONG cb2, const void* id2) {
  if (cb1 != cb2 || id1 == nullptr || id2 == nullptr) return false;
  if (cb1 < 4) return std::memcmp(id1, id2, cb1) == 0;
  return std::memcmp(static_cast<const BYTE*>(id1) + 4, static_cast<const BYTE*>(id2) + 4, cb1 - 4) == 0;
}

bool SameEntryId(const std::vector<BYTE>& a, const std::vector<BYTE>& b) {
  return !a.empty() && SameEntryId(static_cast<ULONG>(a.size()), a.data(), static_cast<ULONG>(b.size()), b.data());
}

HRESULT CompareIds(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG* result) {
  if (result == nullptr || (cb1 != 0 && id1 == nullptr) || (cb2 != 0 && id2 == nullptr))
    return MAPI_E_INVALID_PARAMETER;
  EntryRef a{}, b{};
  if (!ParseEntryId(cb1, id1, a) || !ParseEntryId(cb2, id2, b)) return MAPI_E_UNKNOWN_ENTRYID;
  *result = SameEntryId(cb1, id1, cb2, id2) ? TRUE : FALSE;
  return S_OK;
}

ULONG FolderNumber(Folder folder) { return static_cast<ULONG>(folder) + 1; }

bool FolderFromNumber(ULONG number, Folder& folder) {
  if (number < 1 || number > 3) return false;
  folder = static_cast<Folder>(number - 1);
  return true;
}

// ---- values out -----------------------------------------------------------------------

OutValue Answer(ULONG asked, const Prop* held) {
  const ULONG id = PROP_ID(asked);
  if (held == nullptr) return {PROP_TAG(PT_ERROR, id), nullptr, MAPI_E_NOT_FOUND};
  if (held->Type() == PT_ERROR) return {PROP_TAG(PT_ERROR, id), nullptr, held->AsError()};
  const ULONG want = PROP_TYPE(asked);
  const ULONG have = held->Type();
  if (want == PT_UNSPECIFIED || want == have) return {PROP_TAG(have, id), held, S_OK};
  if ((want == PT_STRING8 && have == PT_UNICODE) || (want == PT_MV_STRING8 && have == PT_MV_UNICODE))
    return {PROP_TAG(want, id), held, S_OK};
  return {PROP_TAG(PT_ERROR, id), nullptr, MAPI_E_INVALID_TYPE};
}

namespace {

size_t Align(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

// The bytes a value needs beyond its SPropValue, with the narrow texts it
// needs made once.
size_t PayloadSize(const OutValue& v, std::vector<std::string>& narrow) {
  if (v.prop == nullptr) return 0;
  switch (PROP_TYPE(v.tag)) {
    case PT_BINARY:
    case PT_UNICODE:
      return v.prop->Data().size();
    case PT_STRING8:
      narrow.push_back(Utf8(v.prop->AsString()));
      return narrow.back().size() + 1;
    case PT_MV_UNICODE:
      return Align(static_cast<size_t>(v.prop->Scalar()) * sizeof(LPWSTR)) + v.prop->Data().size();
    case PT_MV_STRING8: {
      size_t bytes = static_cast<size_t>(v.prop->Scalar()) * sizeof(LPSTR);
      for (const WString& s : v.prop->AsStrings()) {
        narrow.push_back(Utf8(s));
        bytes += narrow.back().size() + 1;
      }
      return bytes;
    }
    default:
      return 0;
  }
}

}  // namespace

HRESULT WriteValues(Provider::State& state, const std::vector<OutValue>& values, LPSPropValue* out) {
  *out = nullptr;
  std::vector<std::string> narrow;
  size_t total = values.size() * sizeof(SPropValue);
  for (const OutValue& v : values) total = Align(total) + PayloadSize(v, narrow);
  if (total > std::numeric_limits<ULONG>::max()) return MAPI_E_NOT_ENOUGH_MEMORY;
  LPVOID block = nullptr;
  // An empty array still gets a buffer of its own.
  const HRESULT hr = state.Allocate(static_cast<ULONG>(std::max<size_t>(total, 1)), &block);
  if (FAILED(hr)) return hr;
  BYTE* base = static_cast<BYTE*>(block);
  auto* array = reinterpret_cast<SPropValue*>(base);
  size_t at = values.size() * sizeof(SPropValue);
  size_t nextNarrow = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    const OutValue& v = values[i];
    SPropValue& pv = array[i];
    std::memset(&pv, 0, sizeof pv);
    pv.ulPropTag = v.tag;
    at = Align(at);
    BYTE* payload = base + at;
    if (v.prop == nullptr) {
      pv.Value.err = v.error;
      continue;
    }
    const Prop& p = *v.prop;
    switch (PROP_TYPE(v.tag)) {
      case PT_LONG:
        pv.Value.l = p.AsLong();
        break;
      case PT_BOOLEAN:
        pv.Value.b = static_cast<unsigned short>(p.AsBool() ? 1 : 0);
        break;
      case PT_SYSTIME:
        pv.Value.ft = p.AsTime();
        break;
      case PT_I8:
        pv.Value.li.QuadPart = p.Scalar();
        break;
      case PT_BINARY:
        pv.Value.bin.cb = static_cast<ULONG>(p.Data().size());
        pv.Value.bin.lpb = payload;
        if (!p.Data().empty()) std::memcpy(payload, p.Data().data(), p.Data().size());
        at += p.Data().size();
        break;
      case PT_UNICODE:
        pv.Value.lpszW = reinterpret_cast<LPWSTR>(payload);
        std::memcpy(payload, p.Data().data(), p.Data().size());
        at += p.Data().size();
        break;
      case PT_STRING8: {
        const std::string& s = narrow[nextNarrow++];
        pv.Value.lpszA = reinterpret_cast<LPSTR>(payload);
        std::memcpy(payload, s.c_str(), s.size() + 1);
        at += s.size() + 1;
        break;
      }
      case PT_MV_UNICODE: {
        const ULONG n = static_cast<ULONG>(p.Scalar());
        auto** pointers = reinterpret_cast<LPWSTR*>(payload);
        BYTE* text = payload + Align(n * sizeof(LPWSTR));
        if (!p.Data().empty()) std::memcpy(text, p.Data().data(), p.Data().size());
        auto* units = reinterpret_cast<WCHAR*>(text);
        size_t u = 0;
        for (ULONG k = 0; k < n; ++k) {
          pointers[k] = units + u;
          while (units[u] != 0) ++u;
          ++u;
        }
        pv.Value.MVszW.cValues = n;
        pv.Value.MVszW.lppszW = pointers;
        at += Align(n * sizeof(LPWSTR)) + p.Data().size();
        break;
      }
      case PT_MV_STRING8: {
        const ULONG n = static_cast<ULONG>(p.Scalar());
        auto** pointers = reinterpret_cast<LPSTR*>(payload);
        char* text = reinterpret_cast<char*>(payload + n * sizeof(LPSTR));
        for (ULONG k = 0; k < n; ++k) {
          const std::string& s = narrow[nextNarrow++];
          std::memcpy(text, s.c_str(), s.size() + 1);
          pointers[k] = text;
          text += s.size() + 1;
        }
        pv.Value.MVszA.cValues = n;
        pv.Value.MVszA.lppszA = pointers;
        at = static_cast<size_t>(reinterpret_cast<BYTE*>(text) - base);
        break;
      }
      default:
        pv.Value.li.QuadPart = p.Scalar();
        break;
    }
  }
  *out = array;
  return S_OK;
}

bool ReadValue(const SPropValue& value, Prop& out) {
  const ULONG tag = value.ulPropTag;
  switch (PROP_TYPE(tag)) {
    case PT_LONG:
      out = Prop::Long(tag, value.Value.l);
      return true;
    case PT_BOOLEAN:
      out = Prop::Bool(tag, value.Value.b != 0);
      return true;
    case PT_SYSTIME:
      out = Prop::Time(tag, value.Value.ft);
      return true;
    case PT_UNICODE:
      if (value.Value.lpszW == nullptr) return false;
      out = Prop::String(tag, WString(value.Value.lpszW));
      return true;
    case PT_STRING8:
      if (value.Value.lpszA == nullptr) return false;
      out = Prop::String(tag, wstr::FromUtf8(value.Value.lpszA));
      return true;
    case PT_BINARY:
      if (value.Value.bin.cb != 0 && value.Value.bin.lpb == nullptr) return false;
      out = Prop::Binary(tag, std::vector<BYTE>(value.Value.bin.lpb, value.Value.bin.lpb + value.Value.bin.cb));
      return true;
    case PT_MV_UNICODE: {
      std::vector<WString> list;
      if (value.Value.MVszW.cValues != 0 && value.Value.MVszW.lppszW == nullptr) return false;
      for (ULONG i = 0; i < value.Value.MVszW.cValues; ++i) {
        if (value.Value.MVszW.lppszW[i] == nullptr) return false;
        list.emplace_back(value.Value.MVszW.lppszW[i]);
      }
      out = Prop::Strings(tag, list);
      return true;
    }
    default:
      return false;
  }
}

// ---- restrictions and order ---------------------------------------------------------------

bool CompareProps(const Prop& a, const Prop& b, int& order) {
  const ULONG ta = a.Type(), tb = b.Type();
  if (ta != tb) return false;
  switch (ta) {
    case PT_LONG:
    case PT_BOOLEAN:
    case PT_SYSTIME:
    case PT_I8: {
      LONGLONG x = a.Scalar(), y = b.Scalar();
      if (ta == PT_SYSTIME) {  // FILETIMEs compare unsigned
        const ULONGLONG ux = static_cast<ULONGLONG>(x), uy = static_cast<ULONGLONG>(y);
        order = ux < uy ? -1 : ux > uy ? 1 : 0;
        return true;
      }
      order = x < y ? -1 : x > y ? 1 : 0;
      return true;
    }
    case PT_UNICODE: {
      const WString x = wstr::LowerAscii(a.AsString()), y = wstr::LowerAscii(b.AsString());
      order = x.compare(y) < 0 ? -1 : x.compare(y) > 0 ? 1 : 0;
      return true;
    }
    case PT_BINARY: {
      const auto& x = a.Data();
      const auto& y = b.Data();
      order = std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end())   ? -1
              : std::lexicographical_compare(y.begin(), y.end(), x.begin(), x.end()) ? 1
                                                                                     : 0;
      return true;
    }
    default:
      return false;
  }
}

namespace {

constexpr int kMaxDepth = 64;

bool Relation(ULONG relop, int order) {
  switch (relop) {
    case RELOP_LT:
      return order < 0;
    case RELOP_LE:
      return order <= 0;
    case RELOP_GT:
      return order > 0;
    case RELOP_GE:
      return order >= 0;
    case RELOP_EQ:
      return order == 0;
    case RELOP_NE:
      return order != 0;
    default:
      return false;
  }
}

bool ContentMatches(const Prop& held, const Prop& wanted, ULONG fuzzy) {
  if (held.Type() == PT_BINARY && wanted.Type() == PT_BINARY) {
    const auto& h = held.Data();
    const auto& w = wanted.Data();
    switch (fuzzy & 0xFFFF) {
      case FL_SUBSTRING:
        return std::search(h.begin(), h.end(), w.begin(), w.end()) != h.end();
      case FL_PREFIX:
        return h.size() >= w.size() && std::equal(w.begin(), w.end(), h.begin());
      default:
        return h == w;
    }
  }
  if (held.Type() != PT_UNICODE || wanted.Type() != PT_UNICODE) return false;
  WString h = held.AsString(), w = wanted.AsString();
  if (fuzzy & (FL_IGNORECASE | FL_LOOSE)) {
    h = wstr::LowerAscii(h);
    w = wstr::LowerAscii(w);
  }
  switch (fuzzy & 0xFFFF) {
    case FL_SUBSTRING:
      return h.find(w) != WString::npos;
    case FL_PREFIX:
      return h.compare(0, w.size(), w) == 0;
    default:
      return h == w;
  }
}

}  // namespace

HRESULT CheckRestriction(const SRestriction& r, int depth) {
  if (depth > kMaxDepth) return MAPI_E_TOO_COMPLEX;
  switch (r.rt) {
    case RES_AND:
    case RES_OR: {
      const ULONG n = r.rt == RES_AND ? r.res.resAnd.cRes : r.res.resOr.cRes;
      const SRestriction* sub = r.rt == RES_AND ? r.res.resAnd.lpRes : r.res.resOr.lpRes;
      if (n != 0 && sub == nullptr) return MAPI_E_INVALID_PARAMETER;
      for (ULONG i = 0; i < n; ++i) {
        const HRESULT hr = CheckRestriction(sub[i], depth + 1);
        if (FAILED(hr)) return hr;
      }
      return S_OK;
    }
    case RES_NOT:
      if (r.res.resNot.lpRes == nullptr) return MAPI_E_INVALID_PARAMETER;
      return CheckRestriction(*r.res.resNot.lpRes, depth + 1);
    case RES_PROPERTY:
      if (r.res.resProperty.lpProp == nullptr || r.res.resProperty.relop > RELOP_NE)
        return MAPI_E_INVALID_PARAMETER;
      return S_OK;
    case RES_CONTENT:
      return r.res.resContent.lpProp == nullptr ? MAPI_E_INVALID_PARAMETER : S_OK;
    case RES_EXIST:
    case RES_BITMASK:
      return S_OK;
    default:
      return MAPI_E_TOO_COMPLEX;
  }
}

HRESULT Matches(const SRestriction& r, const PropList& row, bool& verdict) {
  verdict = false;
  switch (r.rt) {
    case RES_AND:
      verdict = true;
      for (ULONG i = 0; i < r.res.resAnd.cRes && verdict; ++i) {
        const HRESULT hr = Matches(r.res.resAnd.lpRes[i], row, verdict);
        if (FAILED(hr)) return hr;
      }
      return S_OK;
    case RES_OR:
      for (ULONG i = 0; i < r.res.resOr.cRes && !verdict; ++i) {
        const HRESULT hr = Matches(r.res.resOr.lpRes[i], row, verdict);
        if (FAILED(hr)) return hr;
      }
      return S_OK;
    case RES_NOT: {
      bool inner = false;
      const HRESULT hr = Matches(*r.res.resNot.lpRes, row, inner);
      verdict = !inner;
      return hr;
    }
    case RES_EXIST: {
      const Prop* held = FindProp(row, PROP_ID(r.res.resExist.ulPropTag));
      verdict = held != nullptr && held->Type() != PT_ERROR;
      return S_OK;
    }
    case RES_BITMASK: {
      const Prop* held = FindProp(row, PROP_ID(r.res.resBitMask.ulPropTag));
      if (held == nullptr || held->Type() != PT_LONG) return S_OK;
      const bool zero = (static_cast<ULONG>(held->AsLong()) & r.res.resBitMask.ulMask) == 0;
      verdict = r.res.resBitMask.relBMR == BMR_EQZ ? zero : !zero;
      return S_OK;
    }
    case RES_PROPERTY: {
      // A row without the property matches no relation.
      const Prop* held = FindProp(row, PROP_ID(r.res.resProperty.ulPropTag));
      Prop wanted;
      int order = 0;
      if (held != nullptr && ReadValue(*r.res.resProperty.lpProp, wanted) && CompareProps(*held, wanted, order))
        verdict = Relation(r.res.resProperty.relop, order);
      return S_OK;
    }
    case RES_CONTENT: {
      const Prop* held = FindProp(row, PROP_ID(r.res.resContent.ulPropTag));
      Prop wanted;
      if (held != nullptr && ReadValue(*r.res.resContent.lpProp, wanted))
        verdict = ContentMatches(*held, wanted, r.res.resContent.ulFuzzyLevel);
      return S_OK;
    }
    default:
      return MAPI_E_TOO_COMPLEX;
  }
}

// ---- IMAPIProp pieces ---------------------------------------------------------------------

HRESULT GetPropsOf(Provider::State& state, const PropList& values, LPSPropTagArray tags, ULONG flags,
                   ULONG* count, LPSPropValue* out) {
  if (count == nullptr || out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *count = 0;
  *out = nullptr;
  if ((flags & ~MAPI_UNICODE) != 0) return MAPI_E_UNKNOWN_FLAGS;
  if (tags != nullptr && tags->cValues == 0) return MAPI_E_INVALID_PARAMETER;
  std::vector<OutValue> answer;
  bool missing = false;
  if (tags == nullptr) {
    // Every value, strings in the width the flags ask for.
    answer.reserve(values.size());
    for (const Prop& p : values) {
      ULONG asked = p.Tag();
      if (!(flags & MAPI_UNICODE) && p.Type() == PT_UNICODE) asked = CHANGE_PROP_TYPE(asked, PT_STRING8);
      if (!(flags & MAPI_UNICODE) && p.Type() == PT_MV_UNICODE) asked = CHANGE_PROP_TYPE(asked, PT_MV_STRING8);
      answer.push_back(Answer(asked, &p));
    }
  } else {
    answer.reserve(tags->cValues);
    for (ULONG i = 0; i < tags->cValues; ++i) {
      answer.push_back(Answer(tags->aulPropTag[i], FindProp(values, PROP_ID(tags->aulPropTag[i]))));
      if (PROP_TYPE(answer.back().tag) == PT_ERROR) missing = true;
    }
  }
  const HRESULT hr = WriteValues(state, answer, out);
  if (FAILED(hr)) return hr;
  *count = static_cast<ULONG>(answer.size());
  return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT PropListOf(Provider::State& state, const PropList& values, LPSPropTagArray* out) {
  if (out == nullptr) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  LPVOID block = nullptr;
  const HRESULT hr = state.Allocate(static_cast<ULONG>(CbNewSPropTagArray(values.size())), &block);
  if (FAILED(hr)) return hr;
  auto* tags = static_cast<LPSPropTagArray>(block);
  tags->cValues = static_cast<ULONG>(values.size());
  for (size_t i = 0; i < values.size(); ++i) tags->aulPropTag[i] = values[i].Tag();
  *out = tags;
  return S_OK;
}

HRESULT SetPropsOf(Provider::State& state, ULONG count, LPSPropValue values, LPSPropProblemArray* problems,
                   const std::function<HRESULT(const std::vector<Prop>&, std::vector<SCODE>&)>& write) {
  if (count != 0 && values == nullptr) return MAPI_E_INVALID_PARAMETER;
  std::vector<SCODE> results(count, S_OK);
  std::vector<Prop> taken;
  std::vector<ULONG> positions;
  for (ULONG i = 0; i < count; ++i) {
    Prop p;
    if (ReadValue(values[i], p)) {
      taken.push_back(std::move(p));
      positions.push_back(i);
    } else {
      results[i] = MAPI_E_INVALID_TYPE;
    }
  }
  std::vector<SCODE> written;
  const HRESULT hr = write(taken, written);
  if (FAILED(hr)) return hr;
  for (size_t k = 0; k < positions.size() && k < written.size(); ++k) results[positions[k]] = written[k];
  const auto failed = static_cast<ULONG>(std::count_if(results.begin(), results.end(), [](SCODE s) { return FAILED(s); }));
  if (failed == 0 || problems == nullptr) return S_OK;
  LPVOID block = nullptr;
  const HRESULT ahr = state.Allocate(static_cast<ULONG>(CbNewSPropProblemArray(failed)), &block);
  if (FAILED(ahr)) return ahr;
  auto* list = static_cast<LPSPropProblemArray>(block);
  list->cProblem = 0;
  for (ULONG i = 0; i < count; ++i) {
    if (!FAILED(results[i])) continue;
    list->aProblem[list->cProblem++] = SPropProblem{i, values[i].ulPropTag, results[i]};
  }
  *problems = list;
  return S_OK;
}

HRESULT LastError(Provider::State& state, HRESULT, ULONG flags, LPMAPIERROR* out) {
  CallScope call(state, Op::GetLastError, flags);
  if (out != nullptr) *out = nullptr;
  if (FAILED(call.Injected())) return call.Return(call.Injected());
  if (out == nullptr) return call.Return(MAPI_E_INVALID_PARAMETER);
  // Our texts are wide; a caller that wants 8-bit ones is refused rather
  // than handed text it would misread.
  if (!(flags & MAPI_UNICODE)) return call.Return(MAPI_E_BAD_CHARWIDTH);
  std::optional<ErrorInfo> info;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    info = state.errorInfo;
  }
  if (!info) return call.Return(S_OK);
  LPVOID block = nullptr;
  HRESULT hr = state.Allocate(sizeof(MAPIERROR), &block);
  if (FAILED(hr)) return call.Return(hr);
  auto* record = static_cast<LPMAPIERROR>(block);
  std::memset(record, 0, sizeof *record);
  record->ulVersion = MAPI_ERROR_VERSION;
  record->ulLowLevelError = info->lowLevelError;
  record->ulContext = info->context;
  auto copy = [&](const std::optional<WString>& text, LPTSTR& field) -> HRESULT {
    if (!text) return S_OK;
    LPVOID more = nullptr;
    const HRESULT h = state.AllocateMore(static_cast<ULONG>((text->size() + 1) * sizeof(WCHAR)), record, &more);
    if (FAILED(h)) return h;
    std::memcpy(more, text->c_str(), (text->size() + 1) * sizeof(WCHAR));
    field = static_cast<LPTSTR>(more);
    return S_OK;
  };
  if (FAILED(hr = copy(info->error, record->lpszError)) || FAILED(hr = copy(info->component, record->lpszComponent))) {
    state.Free(record);
    return call.Return(hr);
  }
  *out = record;
  return call.Return(S_OK);
}

HRESULT IdsFromNames(Provider::State& state, ULONG count, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* out) {
  CallScope call(state, Op::GetIDsFromNames, flags);
  if (out != nullptr) *out = nullptr;
  if (FAILED(call.Injected())) return call.Return(call.Injected());
  if (out == nullptr) return call.Return(MAPI_E_INVALID_PARAMETER);
  if ((flags & ~MAPI_CREATE) != 0) return call.Return(MAPI_E_UNKNOWN_FLAGS);
  std::vector<ULONG> tags;
  bool missing = false;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (names == nullptr) {
      // No names: every name the store knows.
      for (const NamedProp& n : state.names) tags.push_back(PROP_TAG(PT_UNSPECIFIED, n.id));
    } else {
      if (count == 0) return call.Return(MAPI_E_INVALID_PARAMETER);
      for (ULONG i = 0; i < count; ++i) {
        const MAPINAMEID* n = names[i];
        if (n == nullptr || n->lpguid == nullptr || (n->ulKind != MNID_ID && n->ulKind != MNID_STRING) ||
            (n->ulKind == MNID_STRING && n->Kind.lpwstrName == nullptr))
          return call.Return(MAPI_E_INVALID_PARAMETER);
      }
      tags.reserve(count);
      for (ULONG i = 0; i < count; ++i) {
        const MAPINAMEID* n = names[i];
        const WString text = n->ulKind == MNID_STRING ? WString(n->Kind.lpwstrName) : WString();
        const LONG lid = n->ulKind == MNID_ID ? n->Kind.lID : 0;
        const ULONG id = state.NamedIdLocked(*n->lpguid, n->ulKind, lid, text, (flags & MAPI_CREATE) != 0);
        if (id == 0) {
          // Unknown and not to be made: the published form of a name that
          // has no id.
          tags.push_back(PROP_TAG(PT_ERROR, 0));
          missing = true;
        } else {
          tags.push_back(PROP_TAG(PT_UNSPECIFIED, id));
        }
      }
    }
  }
  LPVOID block = nullptr;
  const HRESULT hr = state.Allocate(static_cast<ULONG>(CbNewSPropTagArray(tags.size())), &block);
  if (FAILED(hr)) return call.Return(hr);
  auto* array = static_cast<LPSPropTagArray>(block);
  array->cValues = static_cast<ULONG>(tags.size());
  for (size_t i = 0; i < tags.size(); ++i) array->aulPropTag[i] = tags[i];
  *out = array;
  return call.Return(missing ? MAPI_W_ERRORS_RETURNED : S_OK);
}

}  // namespace memstore
