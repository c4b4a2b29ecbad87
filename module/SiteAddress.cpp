#include "module/SiteAddress.h"

namespace tessaro {

namespace {

bool IsAlpha(WCHAR c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(WCHAR c) { return c >= '0' && c <= '9'; }
bool IsHex(WCHAR c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

unsigned DefaultPort(WStringView scheme) {
  if (scheme == WSTR("http")) return 80;
  if (scheme == WSTR("https")) return 443;
  if (scheme == WSTR("ftp")) return 21;
  return 0;
}

// "scheme:" at the start of text; the position after the ':' or 0.
size_t ReadScheme(WStringView text, WString& scheme) {
  if (text.empty() || !IsAlpha(text[0])) return 0;
  for (size_t i = 1; i < text.size() && i < 32; ++i) {
    const WCHAR c = text[i];
    if (c == ':') {
      scheme = wstr::LowerAscii(text.substr(0, i));
      return i + 1;
    }
    if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return 0;
  }
  return 0;
}

// A host name: labels of letters, digits, '-' and '_' between single dots.
bool ValidName(WStringView host) {
  if (host.empty() || host.size() > 255) return false;
  bool labelEmpty = true;
  for (WCHAR c : host) {
    if (c == '.') {
      if (labelEmpty) return false;
      labelEmpty = true;
    } else if (IsAlpha(c) || IsDigit(c) || c == '-' || c == '_') {
      labelEmpty = false;
    } else {
      return false;
    }
  }
  return !labelEmpty;
}

// "[...]" of hexadecimal digits, ':' and '.'.
bool ValidLiteral(WStringView host) {
  if (host.size() < 4 || host.size() > 64 || host.front() != '[' || host.back() != ']') return false;
  for (WCHAR c : host.substr(1, host.size() - 2))
    if (!IsHex(c) && c != ':' && c != '.') return false;
  return true;
}

// 1 to 5 digits, 1 to 65535.
bool ReadPort(WStringView text, unsigned& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (WCHAR c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = value;
  return true;
}

// Host and port of an authority already known to hold only printable ASCII
// and no '@', '%' or '\'.
bool ReadAuthority(WStringView authority, SiteAddress& address) {
  WStringView host = authority;
  WStringView port;
  bool hasPort = false;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == WStringView::npos) return false;
    host = authority.substr(0, close + 1);
    const WStringView rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      port = rest.substr(1);
      hasPort = true;
    }
    if (!ValidLiteral(host)) return false;
  } else {
    const size_t colon = authority.find(':');
    if (colon != WStringView::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
      hasPort = true;
    }
    // An empty host is a local file's ("file:///C:/..."), and nothing else's.
    if (host.empty() ? (address.scheme != WSTR("file") || hasPort) : !ValidName(host)) return false;
  }
  address.host = wstr::LowerAscii(host);
  address.port = DefaultPort(address.scheme);
  return !hasPort || ReadPort(port, address.port);
}

// Parses text into address; the position where the authority ends (the path
// begins), or WStringView::npos when the text is refused.
size_t Parse(WStringView text, SiteAddress& address) {
  constexpr size_t kRefused = WStringView::npos;
  if (text.size() > kMaxAddress) return kRefused;
  address = SiteAddress{};
  const size_t start = ReadScheme(text, address.scheme);
  if (start == 0) return kRefused;
  if (text.substr(start, 2) != WSTR("//")) {
    address.port = DefaultPort(address.scheme);
    return start;  // no authority, no host: matches nothing
  }
  address.hasAuthority = true;
  const size_t from = start + 2;
  size_t end = from;
  for (; end < text.size(); ++end) {
    const WCHAR c = text[end];
    if (c == '/' || c == '?' || c == '#') break;
    if (c <= 0x20 || c >= 0x7F || c == '\\' || c == '@' || c == '%') return kRefused;
  }
  if (!ReadAuthority(text.substr(from, end - from), address)) return kRefused;
  return end;
}

}  // namespace

bool ParseSiteAddress(WStringView text, SiteAddress& address) {
  SiteAddress parsed;
  if (Parse(text, parsed) == WStringView::npos) return false;
  address = std::move(parsed);
  return true;
}

bool ParseSiteEntry(WStringView text, SiteEntry& entry) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  WString scheme;
  const size_t start = ReadScheme(text, scheme);
  if (start == 0 || text.substr(start, 2) != WSTR("//")) return false;
  WString rest(text.substr(start + 2));
  if (scheme == WSTR("file") && (rest.empty() || rest == WSTR("/"))) {
    entry = SiteEntry{scheme, WString(), false, 0};
    return true;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const bool subdomains = rest.size() > 2 && rest[0] == '*' && rest[1] == '.';
  if (subdomains) rest.erase(0, 2);
  const WString plain = scheme + WSTR("://") + rest;
  SiteAddress parsed;
  const size_t end = Parse(plain, parsed);
  if (end != plain.size() || parsed.host.empty()) return false;
  if (subdomains && (parsed.host[0] == '[' || parsed.host.find('.') == WString::npos)) return false;
  entry = SiteEntry{parsed.scheme, parsed.host, subdomains, parsed.port};
  return true;
}

bool SiteMatches(const SiteEntry& entry, const SiteAddress& address) {
  if (!address.hasAuthority || entry.scheme != address.scheme || entry.port != address.port) return false;
  if (!entry.subdomains) return entry.host == address.host;
  const WString& host = address.host;
  const size_t n = entry.host.size();
  return host.size() > n + 1 && host.compare(host.size() - n, n, entry.host) == 0 && host[host.size() - n - 1] == '.';
}

bool SiteAllowed(const std::vector<SiteEntry>& entries, WStringView address) {
  SiteAddress parsed;
  if (!ParseSiteAddress(address, parsed)) return false;
  for (const SiteEntry& entry : entries)
    if (SiteMatches(entry, parsed)) return true;
  return false;
}

WString LoggableAddress(WStringView text, size_t limit) {
  static const char kHex[] = "0123456789ABCDEF";
  WString out;
  const size_t n = text.size() < limit ? text.size() : limit;
  for (size_t i = 0; i < n; ++i) {
    const WCHAR c = text[i];
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out.push_back(c);
      continue;
    }
    out.push_back('\\');
    const bool wide = c > 0xFF;
    out.push_back(wide ? 'u' : 'x');
    for (int shift = wide ? 12 : 4; shift >= 0; shift -= 4) out.push_back(static_cast<WCHAR>(kHex[(c >> shift) & 0xF]));
  }
  if (text.size() > n) out += WSTR("...");
  return out;
}

}  // namespace tessaro
