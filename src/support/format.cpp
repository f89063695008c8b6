// printf-style formatting of the wide string: the length estimate (pass 1 of Format) and the
// formatter itself (pass 2).
//
// The formatter reproduces wvsprintfW's grammar and output on every platform, Windows included:
// wvsprintfW stops at 1024 units, which would silently cut long URLs, so the Windows build uses it
// too. Its grammar is narrower than printf's: flags only in the order "-", "#", "0"; no "+",
// " " or "*"; precision 0 means "none"; the precision of an integer counts its minus sign; "#"
// does not count towards the width; "h" does not shorten integers; an unknown conversion drops
// the "%" and its flags and prints from the unknown character on as ordinary text.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "support/wide_string.h"

namespace mobileinfo {

namespace {

constexpr char16_t kFloatMessage[] =
    u"Floating point (%e, %f, %g, and %G) is not supported by the wide string class.";
constexpr char16_t kNullText[] = u"(null)";

// Reads decimal digits, saturating instead of overflowing.
int64_t ReadDigits(const char16_t*& p) {
  int64_t value = 0;
  while (*p >= u'0' && *p <= u'9') {
    if (value < INT_MAX) value = value * 10 + (*p - u'0');
    ++p;
  }
  return value > INT_MAX ? INT_MAX : value;
}

template <typename Char>
int64_t MeasureArgument(const Char* text, int64_t limit) {
  int64_t n = 0;
  while ((limit <= 0 || n < limit) && text[n] != 0) ++n;
  return n;
}

// Output that keeps the first capacity - 1 units and drops the rest.
class Sink {
 public:
  Sink(char16_t* out, int capacity) : out_(out), room_(capacity > 0 ? capacity - 1 : 0) {}
  bool full() const { return written_ >= room_; }
  void Put(char16_t c) {
    if (!full()) out_[written_++] = c;
  }
  void Repeat(char16_t c, int64_t count) {
    while (count-- > 0 && !full()) out_[written_++] = c;
  }
  int written() const { return written_; }

 private:
  char16_t* out_;
  int room_;
  int written_ = 0;
};

enum class Kind { kUnknown, kChar, kWideChar, kText, kWideText, kSigned, kUnsigned, kHex };

struct Conversion {
  bool left = false;
  bool prefix_hex = false;
  bool zero_pad = false;
  bool is_long = false;
  bool is_short = false;
  bool is_wide = false;
  bool pointer_size = false;
  bool is_64 = false;
  bool upper = false;
  int64_t width = 0;
  int64_t precision = 0;
  Kind kind = Kind::kUnknown;
};

// Parses what follows a "%" (not "%%"). Returns the units consumed: everything up to and
// including a known conversion, or up to (not including) an unknown one, which the caller then
// reads again as ordinary text.
int ParseConversion(const char16_t* format, Conversion& conv) {
  const char16_t* p = format;
  if (*p == u'-') { conv.left = true; ++p; }
  if (*p == u'#') { conv.prefix_hex = true; ++p; }
  if (*p == u'0') { conv.zero_pad = true; ++p; }
  conv.width = ReadDigits(p);
  if (*p == u'.') {
    ++p;
    conv.precision = ReadDigits(p);
  }
  if (*p == u'l') {
    conv.is_long = true;
    ++p;
  } else if (*p == u'h') {
    conv.is_short = true;
    ++p;
  } else if (*p == u'w') {
    conv.is_wide = true;
    ++p;
  } else if (*p == u'I') {
    if (p[1] == u'6' && p[2] == u'4') {
      conv.is_64 = true;
      p += 3;
    } else if (p[1] == u'3' && p[2] == u'2') {
      p += 3;
    } else {
      conv.pointer_size = true;
      ++p;
    }
  }
  switch (*p) {
    case u'c':
      conv.kind = conv.is_short ? Kind::kChar : Kind::kWideChar;
      break;
    case u'C':
      conv.kind = conv.is_long ? Kind::kWideChar : Kind::kChar;
      break;
    case u'd':
    case u'i':
      conv.kind = Kind::kSigned;
      break;
    case u's':
      conv.kind = (conv.is_short && !conv.is_wide) ? Kind::kText : Kind::kWideText;
      break;
    case u'S':
      conv.kind = (conv.is_long || conv.is_wide) ? Kind::kWideText : Kind::kText;
      break;
    case u'u':
      conv.kind = Kind::kUnsigned;
      break;
    case u'p':
      conv.width = 2 * static_cast<int64_t>(sizeof(void*));
      conv.zero_pad = true;
      conv.pointer_size = true;
      conv.upper = true;
      conv.kind = Kind::kHex;
      break;
    case u'X':
      conv.upper = true;
      conv.kind = Kind::kHex;
      break;
    case u'x':
      conv.kind = Kind::kHex;
      break;
    default:
      conv.kind = Kind::kUnknown;
      return static_cast<int>(p - format);
  }
  return static_cast<int>(p - format) + 1;
}

// The digits of an integer conversion, with a leading '-' for a negative signed value.
int IntegerText(const Conversion& conv, int64_t value, char* digits) {
  uint64_t number = static_cast<uint64_t>(value);
  char* out = digits;
  if (conv.kind == Kind::kSigned && value < 0) {
    *out++ = '-';
    number = 0 - number;
  }
  if (conv.pointer_size) {
    number = static_cast<uintptr_t>(number);
  } else if (!conv.is_64) {
    number = static_cast<uint32_t>(number);
  }
  const unsigned base = conv.kind == Kind::kHex ? 16 : 10;
  const char* symbols = conv.upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char reversed[24];
  int n = 0;
  do {
    reversed[n++] = symbols[number % base];
    number /= base;
  } while (number != 0);
  while (n > 0) *out++ = reversed[--n];
  *out = 0;
  return static_cast<int>(out - digits);
}

}  // namespace

int FormatWideV(char16_t* out, int capacity, const char16_t* format, va_list args) {
  if (out == nullptr || capacity <= 0) return 0;
  Sink sink(out, capacity);
  const char16_t* p = format ? format : u"";
  while (*p != 0 && !sink.full()) {
    if (*p != u'%') {
      sink.Put(*p++);
      continue;
    }
    ++p;
    if (*p == u'%') {
      sink.Put(*p++);
      continue;
    }
    Conversion conv;
    p += ParseConversion(p, conv);
    if (conv.left) conv.zero_pad = false;

    char16_t character = 0;
    const char* text = nullptr;
    const char16_t* wide_text = nullptr;
    char digits[24] = {0};
    int64_t length = 0;
    switch (conv.kind) {
      case Kind::kWideChar:
        character = static_cast<char16_t>(va_arg(args, int));
        conv.precision = length = 1;
        break;
      case Kind::kChar:
        // The byte as one unit, as 8-bit text arguments are copied below.
        character = static_cast<unsigned char>(va_arg(args, int));
        conv.precision = length = 1;
        break;
      case Kind::kText:
        text = va_arg(args, const char*);
        if (text == nullptr) text = "(null)";
        conv.precision = length = MeasureArgument(text, conv.precision);
        break;
      case Kind::kWideText:
        wide_text = va_arg(args, const char16_t*);
        if (wide_text == nullptr) wide_text = kNullText;
        conv.precision = length = MeasureArgument(wide_text, conv.precision);
        break;
      case Kind::kSigned:
      case Kind::kUnsigned:
      case Kind::kHex: {
        int64_t value;
        if (conv.pointer_size) {
          value = va_arg(args, intptr_t);
        } else if (conv.is_64) {
          value = va_arg(args, long long);
        } else {
          value = va_arg(args, int);
        }
        length = IntegerText(conv, value, digits);
        if (conv.precision < length) conv.precision = length;
        if (conv.zero_pad && conv.width > conv.precision) conv.precision = conv.width;
        break;
      }
      case Kind::kUnknown:
        break;
    }

    if (!conv.left) sink.Repeat(u' ', conv.width - conv.precision);
    switch (conv.kind) {
      case Kind::kWideChar:
      case Kind::kChar:
        sink.Put(character);
        break;
      case Kind::kText:
        for (int64_t i = 0; i < length && !sink.full(); ++i) {
          sink.Put(static_cast<unsigned char>(text[i]));
        }
        break;
      case Kind::kWideText:
        for (int64_t i = 0; i < length && !sink.full(); ++i) sink.Put(wide_text[i]);
        break;
      case Kind::kSigned:
      case Kind::kUnsigned:
      case Kind::kHex: {
        // "0x" only for hexadecimal (wvsprintfW makes "%#d" read past its digits), and outside
        // the width, as wvsprintfW places it.
        if (conv.kind == Kind::kHex && conv.prefix_hex) {
          sink.Put(u'0');
          sink.Put(conv.upper ? u'X' : u'x');
        }
        int sign = 0;
        if (digits[0] == '-') {
          sink.Put(u'-');
          sign = 1;
        }
        sink.Repeat(u'0', conv.precision - length);
        for (int64_t i = sign; i < length; ++i) sink.Put(static_cast<char16_t>(digits[i]));
        break;
      }
      case Kind::kUnknown:
        continue;
    }
    if (conv.left) sink.Repeat(u' ', conv.width - conv.precision);
  }
  out[sink.written()] = 0;
  return sink.written();
}

int FormatWide(char16_t* out, int capacity, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = FormatWideV(out, capacity, format, args);
  va_end(args);
  return written;
}

// Pass 1 of Format: an upper bound of the result's length. It parses each conversion as the
// formatter does and reads the arguments as it names them, so it must walk a copy of the
// caller's list.
int WideString::EstimateLength(const char16_t* format, va_list args) {
  if (format == nullptr) return 0;
  int64_t total = 0;
  const char16_t* p = format;
  while (*p != 0 && total < INT_MAX) {
    if (*p != u'%' || p[1] == u'%') {
      ++total;
      p += *p == u'%' ? 2 : 1;
      continue;
    }
    ++p;
    Conversion conv;
    p += ParseConversion(p, conv);
    int64_t length = 0;
    switch (conv.kind) {
      case Kind::kChar:
      case Kind::kWideChar:
        va_arg(args, int);
        length = 1;
        break;
      case Kind::kText: {
        const char* text = va_arg(args, const char*);
        length = MeasureArgument(text ? text : "(null)", conv.precision);
        break;
      }
      case Kind::kWideText: {
        const char16_t* text = va_arg(args, const char16_t*);
        length = MeasureArgument(text ? text : kNullText, conv.precision);
        break;
      }
      case Kind::kSigned:
      case Kind::kUnsigned:
      case Kind::kHex:
        if (conv.pointer_size) {
          va_arg(args, intptr_t);
        } else if (conv.is_64) {
          va_arg(args, long long);
        } else {
          va_arg(args, int);
        }
        // A sign and 20 digits at most, zeros up to the precision (or, zero-padded, the width),
        // and "0x" outside the width.
        length = std::max({conv.precision, conv.width, int64_t{21}}) + 2;
        break;
      case Kind::kUnknown:
        // No format of the system converts floating point: a programming error. The formatter
        // prints the letter like any unknown conversion, after the width's blanks.
        if (*p == u'e' || *p == u'E' || *p == u'f' || *p == u'g' || *p == u'G') {
          FormatterMisuse(kFloatMessage);
        }
        break;
    }
    total += length < conv.width ? conv.width : length;
  }
  return total >= INT_MAX ? INT_MAX - 1 : static_cast<int>(total);
}

}  // namespace mobileinfo
