#include "platform/wformat.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace wfmt {

namespace {

// Where formatted characters go: a bounded buffer or a growing string.
class Output {
 public:
  Output(WCHAR* dst, size_t count) : dst_(dst), limit_(count == 0 ? 0 : count - 1) {}
  explicit Output(WString* grow) : grow_(grow) {}

  void Put(WCHAR c) {
    if (grow_ != nullptr) {
      grow_->push_back(c);
    } else if (written_ < limit_) {
      dst_[written_++] = c;
    } else {
      cut_ = true;
    }
  }
  // Stops as soon as the buffer is full: a width or precision may ask for
  // billions of characters.
  void Repeat(WCHAR c, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n && !Full(); ++i) Put(c);
  }
  void PutAll(WStringView text) {
    for (size_t i = 0; i < text.size() && !Full(); ++i) Put(text[i]);
  }
  bool Full() const { return grow_ == nullptr && cut_; }
  int Finish(size_t count) {
    if (grow_ != nullptr) return static_cast<int>(grow_->size());
    if (count > 0) dst_[written_] = 0;
    return cut_ ? -1 : static_cast<int>(written_);
  }

 private:
  WCHAR* dst_ = nullptr;
  size_t limit_ = 0;
  size_t written_ = 0;
  bool cut_ = false;
  WString* grow_ = nullptr;
};

struct Conversion {
  bool left = false, plus = false, blank = false, alt = false, zero = false;
  int width = 0;
  int precision = -1;
  enum Size { Default, Short, Long, LongLong, Pointer } size = Default;
  bool narrow = false;  // h for text and chars
  bool wide = false;    // l or w for text and chars
};

// One converted value: prefix (sign, "0x"), zeros the precision asks for,
// digits, zeros beyond what was computed, the rest (an exponent). The zeros
// are counted, not stored, as a precision may ask for billions of them.
struct Body {
  WStringView prefix;
  std::uint64_t leadZeros = 0;
  WStringView digits;
  std::uint64_t innerZeros = 0;
  WStringView tail;

  std::uint64_t Length() const { return prefix.size() + leadZeros + digits.size() + innerZeros + tail.size(); }
};

// Pads to the width: with blanks in front, with zeros after the prefix
// (zeroPad), or with blanks behind (left).
void PutPadded(Output& out, const Conversion& fmt, const Body& body, bool zeroPad) {
  const std::uint64_t width = static_cast<std::uint64_t>(fmt.width);
  const std::uint64_t len = body.Length();
  const std::uint64_t pad = width > len ? width - len : 0;
  if (!fmt.left && !zeroPad) out.Repeat(' ', pad);
  out.PutAll(body.prefix);
  if (!fmt.left && zeroPad) out.Repeat('0', pad);
  out.Repeat('0', body.leadZeros);
  out.PutAll(body.digits);
  out.Repeat('0', body.innerZeros);
  out.PutAll(body.tail);
  if (fmt.left) out.Repeat(' ', pad);
}

void PutPadded(Output& out, const Conversion& fmt, WStringView text, bool zeroPad) {
  Body body;
  body.digits = text;
  PutPadded(out, fmt, body, zeroPad);
}

void PutInteger(Output& out, const Conversion& fmt, WCHAR conv, std::uint64_t magnitude, bool negative) {
  const unsigned base = (conv == 'x' || conv == 'X') ? 16 : (conv == 'o' ? 8 : 10);
  const char* digits = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  WCHAR buf[72];
  int n = 0;
  while (magnitude != 0) {
    buf[n++] = static_cast<WCHAR>(digits[magnitude % base]);
    magnitude /= base;
  }
  const bool nonZero = n > 0;
  const std::uint64_t minDigits = fmt.precision < 0 ? 1 : static_cast<std::uint64_t>(fmt.precision);
  std::uint64_t zeros = minDigits > static_cast<std::uint64_t>(n) ? minDigits - n : 0;
  // The alternate octal form begins with a zero, also for a zero printed
  // with no digits at all.
  if (conv == 'o' && fmt.alt && zeros == 0 && (n == 0 || buf[n - 1] != '0')) zeros = 1;
  WCHAR text[72];
  for (int i = 0; i < n; ++i) text[i] = buf[n - 1 - i];
  WString prefix;
  if (negative) {
    prefix = WSTR("-");
  } else if ((conv == 'd' || conv == 'i') && fmt.plus) {
    prefix = WSTR("+");
  } else if ((conv == 'd' || conv == 'i') && fmt.blank) {
    prefix = WSTR(" ");
  }
  if (fmt.alt && nonZero) {
    if (conv == 'x') prefix += WSTR("0x");
    if (conv == 'X') prefix += WSTR("0X");
  }
  Body body;
  body.prefix = prefix;
  body.leadZeros = zeros;
  body.digits = WStringView(text, static_cast<size_t>(n));
  PutPadded(out, fmt, body, fmt.zero && fmt.precision < 0);
}

void PutText(Output& out, const Conversion& fmt, WStringView text) {
  if (fmt.precision >= 0 && text.size() > static_cast<size_t>(fmt.precision)) text = text.substr(0, fmt.precision);
  PutPadded(out, fmt, text, fmt.zero);
}

// Digits a double can need: its exact decimal expansion is at most 767
// significant digits and 1074 after the point; beyond that only zeros follow,
// which are added by count.
constexpr int kFloatDigits = 1100;

void PutFloat(Output& out, const Conversion& fmt, WCHAR conv, double value) {
  std::string f = "%";
  if (fmt.plus) f += '+';
  if (fmt.blank) f += ' ';
  if (fmt.alt) f += '#';
  const int precision = fmt.precision > kFloatDigits ? kFloatDigits : fmt.precision;
  if (precision >= 0) f += "." + std::to_string(precision);
  f += static_cast<char>(conv);
  const int n = std::snprintf(nullptr, 0, f.c_str(), value);
  if (n <= 0) return;
  std::string narrow(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(&narrow[0], narrow.size(), f.c_str(), value);
  narrow.resize(static_cast<size_t>(n));
  const WString text(narrow.begin(), narrow.end());
  const bool finite = std::isfinite(value);

  Body body;
  size_t start = 0;
  if (!text.empty() && (text[0] == '-' || text[0] == '+' || text[0] == ' ')) start = 1;
  const bool hex = conv == 'a' || conv == 'A';
  if (hex && finite && text.size() >= start + 2) start += 2;  // 0x
  body.prefix = WStringView(text).substr(0, start);
  // The zeros of a precision beyond the computed digits go before the
  // exponent, if any; %g drops trailing zeros unless '#' keeps them.
  const bool lower = conv == 'g' || conv == 'e' || conv == 'a' || conv == 'f';
  const WCHAR exponent = hex ? (lower ? 'p' : 'P') : (lower ? 'e' : 'E');
  size_t end = text.find(exponent, start);
  if (end == WString::npos) end = text.size();
  body.digits = WStringView(text).substr(start, end - start);
  body.tail = WStringView(text).substr(end);
  const bool keepsZeros = !(conv == 'g' || conv == 'G') || fmt.alt;
  if (finite && keepsZeros && fmt.precision > precision) body.innerZeros = fmt.precision - precision;
  PutPadded(out, fmt, body, fmt.zero && finite);
}

int ReadNumber(const WCHAR*& p) {
  int n = 0;
  while (*p >= '0' && *p <= '9') {
    if (n < 100000) n = n * 10 + (*p - '0');
    ++p;
  }
  return n;
}

void Run(Output& out, const WCHAR* format, va_list args) {
  if (format == nullptr) return;
  for (const WCHAR* p = format; *p != 0 && !out.Full(); ++p) {
    if (*p != '%') {
      out.Put(*p);
      continue;
    }
    ++p;
    Conversion fmt;
    for (;; ++p) {
      if (*p == '-') fmt.left = true;
      else if (*p == '+') fmt.plus = true;
      else if (*p == ' ') fmt.blank = true;
      else if (*p == '#') fmt.alt = true;
      else if (*p == '0') fmt.zero = true;
      else break;
    }
    if (*p == '*') {
      fmt.width = va_arg(args, int);
      // A negative width means "-" and its size; the most negative one has
      // no size to take, and pads nothing.
      if (fmt.width < 0) fmt.left = true, fmt.width = fmt.width == INT_MIN ? 0 : -fmt.width;
      ++p;
    } else {
      fmt.width = ReadNumber(p);
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        fmt.precision = va_arg(args, int);
        if (fmt.precision < 0) fmt.precision = -1;
        ++p;
      } else {
        fmt.precision = ReadNumber(p);
      }
    }
    if (fmt.left) fmt.zero = false;
    // Size prefixes.
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      fmt.size = Conversion::LongLong, p += 3;
    } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
      fmt.size = Conversion::Long, p += 3;
    } else if (p[0] == 'I') {
      fmt.size = Conversion::Pointer, ++p;
    } else if (p[0] == 'l' && p[1] == 'l') {
      fmt.size = Conversion::LongLong, p += 2;
    } else if (p[0] == 'l' || p[0] == 'w') {
      fmt.size = Conversion::Long, fmt.wide = true, ++p;
    } else if (p[0] == 'h') {
      fmt.size = Conversion::Short, fmt.narrow = true, ++p;
      if (*p == 'h') ++p;
    } else if (p[0] == 'L' || p[0] == 'z' || p[0] == 't' || p[0] == 'j') {
      if (*p != 'L') fmt.size = Conversion::Pointer;
      ++p;
    }
    const WCHAR conv = *p;
    switch (conv) {
      case 0:
        return;
      case '%':
        out.Put('%');
        break;
      case 'd':
      case 'i': {
        std::int64_t v;
        if (fmt.size == Conversion::LongLong) v = va_arg(args, long long);
        else if (fmt.size == Conversion::Pointer) v = static_cast<std::intptr_t>(va_arg(args, std::intptr_t));
        else if (fmt.size == Conversion::Short) v = static_cast<short>(va_arg(args, int));
        else v = static_cast<std::int32_t>(va_arg(args, int));
        const std::uint64_t mag = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        PutInteger(out, fmt, conv, mag, v < 0);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        std::uint64_t v;
        if (fmt.size == Conversion::LongLong) v = va_arg(args, unsigned long long);
        else if (fmt.size == Conversion::Pointer) v = va_arg(args, std::uintptr_t);
        else if (fmt.size == Conversion::Short) v = static_cast<unsigned short>(va_arg(args, unsigned));
        else v = static_cast<std::uint32_t>(va_arg(args, unsigned));
        PutInteger(out, fmt, conv, v, false);
        break;
      }
      case 'p': {
        Conversion ptr = fmt;
        ptr.precision = static_cast<int>(sizeof(void*) * 2);
        PutInteger(out, ptr, 'X', reinterpret_cast<std::uintptr_t>(va_arg(args, void*)), false);
        break;
      }
      case 'c':
      case 'C': {
        const int v = va_arg(args, int);
        const bool narrowChar = fmt.narrow || (conv == 'C' && !fmt.wide);
        const WCHAR c = narrowChar ? static_cast<WCHAR>(static_cast<unsigned char>(v)) : static_cast<WCHAR>(v);
        PutPadded(out, fmt, WStringView(&c, 1), fmt.zero);
        break;
      }
      case 's':
      case 'S': {
        const bool narrowText = fmt.narrow || (conv == 'S' && !fmt.wide);
        if (narrowText) {
          const char* s = va_arg(args, const char*);
          PutText(out, fmt, s == nullptr ? WString(WSTR("(null)")) : wstr::FromUtf8(s));
        } else {
          const WCHAR* s = va_arg(args, const WCHAR*);
          PutText(out, fmt, s == nullptr ? WStringView(WSTR("(null)")) : WStringView(s));
        }
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        PutFloat(out, fmt, conv, va_arg(args, double));
        break;
      case 'n':
        (void)va_arg(args, void*);  // never written through
        break;
      default:
        out.Put(conv);
        break;
    }
  }
}

}  // namespace

int FormatV(WCHAR* dst, size_t count, const WCHAR* format, va_list args) {
  if (dst == nullptr) return count == 0 ? 0 : -1;
  Output out(dst, count);
  va_list copy;
  va_copy(copy, args);
  Run(out, format, copy);
  va_end(copy);
  if (count == 0) return -1;
  return out.Finish(count);
}

int Format(WCHAR* dst, size_t count, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = FormatV(dst, count, format, args);
  va_end(args);
  return n;
}

WString StringV(const WCHAR* format, va_list args) {
  WString text;
  Output out(&text);
  va_list copy;
  va_copy(copy, args);
  Run(out, format, copy);
  va_end(copy);
  return text;
}

WString String(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  WString text = StringV(format, args);
  va_end(args);
  return text;
}

}  // namespace wfmt
