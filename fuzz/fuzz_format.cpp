// Fuzzes the formatter with formats built from the input together with the
// arguments they read: literal text, %%, and conversions with any flags,
// widths and precisions (given or as *), size prefixes and conversion
// letters, unknown ones included. Checks: the bounded form cut to any count
// is the start of the full text and says so; the unbounded form gives the
// same text.
//
// The arguments go through one call with twelve integer-class and eight
// double arguments. On x86-64 the callee reads integer-class and double
// arguments from separate registers, and only integer-class ones reach the
// stack here, so each conversion receives the next argument of its class in
// order, whatever the mix: the format decides, as with a real call.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "platform/wformat.h"

#if !defined(__x86_64__)
#error "the formatter's fuzzer passes its arguments as the x86-64 calling convention does"
#endif

namespace {

constexpr size_t kIntegers = 12;
constexpr size_t kDoubles = 8;

struct Arguments {
  std::uint64_t integers[kIntegers] = {};
  double doubles[kDoubles] = {};
  size_t integerCount = 0;
  size_t doubleCount = 0;
};

// Texts the conversions point to; they live as long as the input.
struct Texts {
  std::vector<std::string> narrow;
  std::vector<WString> wide;
};

class Builder {
 public:
  Builder(FuzzedDataProvider& in, Arguments& args, Texts& texts) : in_(in), args_(args), texts_(texts) {}

  // False once the arguments of one class run out.
  bool AddInteger(std::uint64_t v) {
    if (args_.integerCount == kIntegers) return false;
    args_.integers[args_.integerCount++] = v;
    return true;
  }
  bool AddDouble(double v) {
    if (args_.doubleCount == kDoubles) return false;
    args_.doubles[args_.doubleCount++] = v;
    return true;
  }

  void Literal() {
    WCHAR c = in_.ConsumeIntegral<WCHAR>();
    if (c == 0 || c == '%') c = 'x';
    format += c;
  }

  // One conversion, or nothing when its arguments no longer fit.
  bool Conversion() {
    WString directive = WSTR("%");
    const unsigned flags = in_.ConsumeIntegralInRange<unsigned>(0, 6);
    static const char kFlags[] = "-+ #0";
    for (unsigned i = 0; i < flags; ++i) directive += static_cast<WCHAR>(kFlags[in_.ConsumeIntegralInRange(0, 4)]);
    if (!Number(directive, true) || !Precision(directive)) return false;
    static const char* const kSizes[] = {"", "h", "hh", "l", "ll", "w", "I", "I32", "I64", "L", "z", "t", "j"};
    const char* size = kSizes[in_.ConsumeIntegralInRange<size_t>(0, 12)];
    for (const char* p = size; *p != 0; ++p) directive += static_cast<WCHAR>(*p);
    // Letters the formatter does not know print as themselves.
    static const char kConversions[] = "diuxXopcCsSeEfFgGaAn%kbZy!";
    const char conv = kConversions[in_.ConsumeIntegralInRange<size_t>(0, sizeof kConversions - 2)];
    directive += static_cast<WCHAR>(conv);
    if (!Argument(conv, size)) return false;
    format += directive;
    return true;
  }

  WString format;

 private:
  // A width: none, digits, or * with an int argument.
  bool Number(WString& directive, bool width) {
    switch (in_.ConsumeIntegralInRange(0, 3)) {
      case 0:
        return true;
      case 1:
        return AddInteger(static_cast<std::uint64_t>(in_.ConsumeIntegral<int>())) && (directive += '*', true);
      case 2: {  // small: most formats
        directive += wstr::FromUtf8(std::to_string(in_.ConsumeIntegralInRange(0, 600)));
        return true;
      }
      default: {  // any digits, leading zeros and overlong ones too
        const size_t n = in_.ConsumeIntegralInRange<size_t>(width ? 1 : 0, 12);
        for (size_t i = 0; i < n; ++i) directive += static_cast<WCHAR>('0' + in_.ConsumeIntegralInRange(0, 9));
        if (width && directive.back() == '0' && n == 1) directive.back() = '1';  // a lone 0 is a flag
        return true;
      }
    }
  }
  bool Precision(WString& directive) {
    if (!in_.ConsumeBool()) return true;
    directive += '.';
    return Number(directive, false);
  }

  const void* Text(bool narrow) {
    if (in_.ConsumeIntegralInRange(0, 15) == 0) return nullptr;
    const std::string bytes = in_.ConsumeRandomLengthString(64);
    if (narrow) {
      texts_.narrow.push_back(bytes);
      return texts_.narrow.back().c_str();
    }
    WString w;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      const WCHAR c = static_cast<WCHAR>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8);
      if (c == 0) break;
      w += c;
    }
    texts_.wide.push_back(w);
    return texts_.wide.back().c_str();
  }

  // Any double: infinities, NaNs and subnormals too.
  double Double() {
    const std::uint64_t bits = in_.ConsumeIntegral<std::uint64_t>();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }

  bool Argument(char conv, const std::string& size) {
    switch (conv) {
      case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
        return AddDouble(Double());
      case 's': case 'S': {
        const bool narrow = size == "h" || size == "hh" || (conv == 'S' && size != "l" && size != "w");
        return AddInteger(reinterpret_cast<std::uintptr_t>(Text(narrow)));
      }
      case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'p': case 'c': case 'C': case 'n':
        return AddInteger(in_.ConsumeIntegral<std::uint64_t>());
      default:
        return true;  // %% and unknown letters read nothing
    }
  }

  FuzzedDataProvider& in_;
  Arguments& args_;
  Texts& texts_;
};

int Bounded(WCHAR* dst, size_t count, const WString& format, const Arguments& a) {
  const std::uint64_t* i = a.integers;
  const double* d = a.doubles;
  return wfmt::Format(dst, count, format.c_str(), i[0], i[1], i[2], i[3], i[4], i[5], i[6], i[7], i[8], i[9],
                      i[10], i[11], d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
}

WString Unbounded(const WString& format, const Arguments& a) {
  const std::uint64_t* i = a.integers;
  const double* d = a.doubles;
  return wfmt::String(format.c_str(), i[0], i[1], i[2], i[3], i[4], i[5], i[6], i[7], i[8], i[9], i[10], i[11],
                      d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Arguments args;
  Texts texts;
  // The pointers handed out stay valid: one text per integer argument, and
  // one more made before the arguments are found to be full.
  texts.narrow.reserve(kIntegers + 1);
  texts.wide.reserve(kIntegers + 1);
  Builder b(in, args, texts);
  const size_t small = in.ConsumeIntegralInRange<size_t>(0, 40);
  while (in.remaining_bytes() > 0 && b.format.size() < 512) {
    if (in.ConsumeBool()) b.Literal();
    else if (!b.Conversion()) break;
  }
  if (in.ConsumeBool()) b.format += '%';  // a format may end in the middle of a conversion

  // Large enough for any text the checks compare; longer ones are only cut.
  static std::vector<WCHAR> big(4096);
  const int n = Bounded(big.data(), big.size(), b.format, args);
  FUZZ_CHECK(n >= -1);
  const size_t bigLength = n >= 0 ? static_cast<size_t>(n) : big.size() - 1;
  FUZZ_CHECK(big[bigLength] == 0);

  std::vector<WCHAR> cut(small + 1, 0xFFFF);
  const int m = Bounded(cut.data(), small, b.format, args);
  FUZZ_CHECK(cut[small] == 0xFFFF);  // nothing past the count
  if (small == 0) {
    FUZZ_CHECK(m == -1);
  } else if (n >= 0 && static_cast<size_t>(n) < small) {
    FUZZ_CHECK(m == n);
    FUZZ_CHECK(cut[n] == 0);
    FUZZ_CHECK(WString(cut.data(), n) == WString(big.data(), n));
  } else {
    FUZZ_CHECK(m == -1);
    FUZZ_CHECK(cut[small - 1] == 0);
    FUZZ_CHECK(WString(big.data(), small - 1) == WString(cut.data(), small - 1));
  }
  if (n >= 0) FUZZ_CHECK(Unbounded(b.format, args) == WString(big.data(), static_cast<size_t>(n)));
  return 0;
}
