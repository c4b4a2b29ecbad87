// Page addresses and the site entries they are matched against.
//
// A small, bounded parser of our own: it takes an address apart into scheme,
// host and port and refuses (returns false for) anything it cannot read
// without guessing, so that no address can mean one host to the browser and
// another to us:
// - at most kMaxAddress characters; no control character, blank, backslash
//   or character beyond ASCII anywhere before the path;
// - scheme: a letter, then letters, digits, '+', '-' or '.', then ':'; then
//   "//" and the authority, which ends at the first '/', '?' or '#' (or the
//   end). A backslash there is refused (browsers read it as a slash);
// - user information ('@' in the authority) is refused outright;
// - host: letters, digits, '-', '_' and '.', or a bracketed IPv6 literal of
//   hexadecimal digits, ':' and '.' (no zone). A percent sign is refused,
//   never decoded; empty labels (a leading, trailing or doubled dot) are
//   refused. Letters are lower-cased. Internationalised names are compared
//   in the ASCII (punycode, "xn--") form as the address gives it: a host
//   written in other characters is refused, and a site entry has to name
//   such a host in its punycode form;
// - port: 1 to 5 digits, 1 to 65535; none means the scheme's default (http
//   80, https 443, ftp 21; 0 for other schemes). "host:" with an empty port
//   is refused;
// - an address without "//" after the scheme (about:blank, javascript:...)
//   has no host and matches no entry. "file:" addresses of the local disk
//   ("file:///C:/...", empty host) match only the entry "file://".
//
// Site entries (the AllowedSites policy) have the same form without a path:
// "https://portal.example.com", "https://*.example.com",
// "https://host:8443", "file://"; a trailing '/' is allowed. "*." must be the
// whole first label and is followed by a name of at least two labels; it
// matches sub-domains only, never the name itself. An entry that does not
// parse matches nothing.
#pragma once

#include <vector>

#include "platform/wstr.h"

namespace tessaro {

struct SiteAddress {
  WString scheme;  // lower case, without ':'
  WString host;    // lower case; empty for a local file or an address without authority
  unsigned port = 0;  // the given port, or the scheme's default (0: none)
  bool hasAuthority = false;  // "scheme://" was given
};

struct SiteEntry {
  WString scheme;
  WString host;           // for a wildcard: the name after "*."
  bool subdomains = false;  // "*.host"
  unsigned port = 0;
};

// Addresses longer than this are refused.
constexpr size_t kMaxAddress = 2048;

// The parts of a page address; false when it cannot be read safely.
bool ParseSiteAddress(WStringView text, SiteAddress& address);
// One entry of the site list; false when it is malformed.
bool ParseSiteEntry(WStringView text, SiteEntry& entry);
// True when the address is one of the entry's sites.
bool SiteMatches(const SiteEntry& entry, const SiteAddress& address);
// True when the address text parses and matches one of the entries.
bool SiteAllowed(const std::vector<SiteEntry>& entries, WStringView address);

// The address as it may be written to the log: control characters,
// backslashes, quotes and everything beyond ASCII as \xNN or \uNNNN escapes,
// cut to at most `limit` characters of the original (then "...").
WString LoggableAddress(WStringView text, size_t limit = 200);

}  // namespace tessaro
