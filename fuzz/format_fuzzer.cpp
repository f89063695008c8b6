// Differential target for the two passes of WideString::Format: for format texts made of the
// conversions the formatter knows (flags "-#0", width, precision, size prefixes h l w I I32 I64,
// and %% c C s S d i u x X p, plus %n, which it prints as text), the estimate of pass 1 is never
// below what pass 2 writes, and Format produces exactly what the formatter writes into a buffer
// with room to spare.
//
// The arguments travel as eight machine words. On x86-64 every int, long long, intptr_t and
// pointer argument of a variadic call takes one 8-byte slot and va_arg(int) reads the low half of
// its slot, so one call signature serves every format the generator makes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "support/wide_string.h"

#if !defined(__x86_64__)
#error "the argument slots below assume the x86-64 calling convention"
#endif

using namespace mobileinfo;

namespace {

constexpr int kSlots = 8;
constexpr int kOutputCapacity = 1 << 17;
using Slot = uintptr_t;

int EstimateSlots(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = WideString::EstimateLength(format, args);
  va_end(args);
  return n;
}

void AppendNumber(std::u16string& format, uint32_t value) {
  for (char c : std::to_string(value)) format.push_back(static_cast<char16_t>(c));
}

// A width or precision: mostly around the lengths of the arguments, now and then large.
uint32_t Number(FuzzedDataProvider& input) {
  return input.ConsumeBool() ? input.ConsumeIntegralInRange(0, 40)
                             : input.ConsumeIntegralInRange(0, 4000);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::u16string format;
  Slot slots[kSlots] = {};
  int used = 0;
  // Text arguments live until both passes are done.
  std::vector<std::string> narrow_texts;
  std::vector<std::u16string> wide_texts;
  narrow_texts.reserve(kSlots);
  wide_texts.reserve(kSlots);

  while (input.remaining_bytes() > 0 && used < kSlots && format.size() < 512) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
      case 0: {  // ordinary text
        const int n = input.ConsumeIntegralInRange(1, 8);
        for (int i = 0; i < n; ++i) {
          char16_t unit = input.ConsumeIntegral<char16_t>();
          if (unit == 0 || unit == u'%') unit = u'a';
          format.push_back(unit);
        }
        break;
      }
      case 1:
        format += u"%%";
        break;
      default: {  // one conversion
        format.push_back(u'%');
        if (input.ConsumeBool()) format.push_back(u'-');
        if (input.ConsumeBool()) format.push_back(u'#');
        if (input.ConsumeBool()) format.push_back(u'0');
        if (input.ConsumeBool()) AppendNumber(format, Number(input));
        if (input.ConsumeBool()) {
          format.push_back(u'.');
          if (input.ConsumeBool()) AppendNumber(format, Number(input));
        }
        static const char16_t* const kSizes[] = {u"", u"h", u"l", u"w", u"I", u"I32", u"I64"};
        const int size_prefix = input.ConsumeIntegralInRange(0, 6);
        format += kSizes[size_prefix];
        static const char16_t kConversions[] = u"cCsSdiuxXpn";
        const char16_t conversion = kConversions[input.ConsumeIntegralInRange(0, 10)];
        format.push_back(conversion);

        const bool is_short = size_prefix == 1;
        const bool is_long = size_prefix == 2 || size_prefix == 3;
        Slot& slot = slots[used];
        switch (conversion) {
          case u'n':
            break;  // no argument: the formatter prints the letter
          case u's':
          case u'S': {
            const bool narrow = conversion == u's' ? is_short : !is_long;
            const bool null = input.ConsumeIntegralInRange(0, 15) == 0;
            if (null) {
              slot = 0;
            } else if (narrow) {
              narrow_texts.push_back(input.ConsumeRandomLengthString(64));
              slot = reinterpret_cast<Slot>(narrow_texts.back().c_str());
            } else {
              std::string bytes = input.ConsumeRandomLengthString(128);
              wide_texts.push_back(
                  fuzz::Utf16FromBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
              slot = reinterpret_cast<Slot>(wide_texts.back().c_str());
            }
            ++used;
            break;
          }
          default:
            slot = static_cast<Slot>(input.ConsumeIntegral<uint64_t>());
            ++used;
            break;
        }
        break;
      }
    }
  }

  const int estimate = EstimateSlots(format.c_str(), slots[0], slots[1], slots[2], slots[3],
                                     slots[4], slots[5], slots[6], slots[7]);
  static std::vector<char16_t> out(kOutputCapacity);
  const int written = FormatWide(out.data(), kOutputCapacity, format.c_str(), slots[0], slots[1],
                                  slots[2], slots[3], slots[4], slots[5], slots[6], slots[7]);
  fuzz::Require(written < kOutputCapacity - 1);  // the generator's formats always fit
  fuzz::Require(estimate >= written);

  WideString formatted(u"old");
  fuzz::Require(formatted.Format(format.c_str(), slots[0], slots[1], slots[2], slots[3], slots[4],
                                 slots[5], slots[6], slots[7]) == 1);
  // The value ends at the output's first NUL (a %c of 0 writes one), as a measured buffer does.
  fuzz::Require(formatted.ToU16() == std::u16string(out.data()));
  return 0;
}
