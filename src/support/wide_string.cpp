#include "support/wide_string.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace mobileinfo {

namespace {

// The one empty value of the process. Its count is negative so that no copy ever counts it, and
// nothing ever writes to it: every writer makes a block of its own first.
struct EmptyBlock {
  WideStringHeader header;
  char16_t terminator;
};
static_assert(offsetof(EmptyBlock, terminator) == sizeof(WideStringHeader),
              "the characters follow the header directly");
alignas(8) EmptyBlock g_empty_block = {{-1, 0, 0}, 0};

char16_t* EmptyText() { return &g_empty_block.terminator; }
bool IsEmptyBlock(const char16_t* text) { return text == EmptyText(); }

WideStringHeader* HeaderOf(const char16_t* text) {
  return reinterpret_cast<WideStringHeader*>(const_cast<char16_t*>(text)) - 1;
}

// Counts change only through interlocked operations: values sharing a block may live on
// different threads.
int32_t AddRef(WideStringHeader* header, int32_t delta) {
  return __atomic_add_fetch(&header->refs, delta, __ATOMIC_ACQ_REL);
}
int32_t LoadRefs(const WideStringHeader* header) {
  return __atomic_load_n(&header->refs, __ATOMIC_ACQUIRE);
}

int MeasureText(const char16_t* text) {
  if (text == nullptr) return 0;
  size_t n = 0;
  while (text[n] != 0 && n < static_cast<size_t>(INT_MAX)) ++n;
  return static_cast<int>(n);
}

}  // namespace

const WideStringHeader* EmptyBlockHeaderForTesting() { return &g_empty_block.header; }

bool SharesBlockForTesting(const WideString& a, const WideString& b) { return a.c_str() == b.c_str(); }

char16_t* WideString::AllocateBlock(int capacity) {
  if (capacity < 0) return nullptr;
  const size_t units = static_cast<size_t>(capacity) + 1;
  if (units > (SIZE_MAX - sizeof(WideStringHeader)) / sizeof(char16_t)) return nullptr;
  void* memory = std::malloc(sizeof(WideStringHeader) + units * sizeof(char16_t));
  if (memory == nullptr) return nullptr;
  auto* header = static_cast<WideStringHeader*>(memory);
  header->refs = 1;
  header->length = 0;
  header->capacity = capacity;
  auto* text = reinterpret_cast<char16_t*>(header + 1);
  text[0] = 0;
  return text;
}

void WideString::ReleaseBlock(char16_t* text) {
  if (text == nullptr || IsEmptyBlock(text)) return;
  if (AddRef(HeaderOf(text), -1) <= 0) std::free(HeaderOf(text));
}

WideString::WideString() : text_(EmptyText()) {}

WideString::WideString(const char16_t* text) : text_(EmptyText()) {
  AssignText(MeasureText(text), text);
}

WideString::WideString(const std::u16string& text) : text_(EmptyText()) {
  if (text.size() > static_cast<size_t>(INT_MAX)) return;
  AssignText(static_cast<int>(text.size()), text.data());
}

WideString::WideString(const WideString& other) : text_(EmptyText()) {
  if (IsEmptyBlock(other.text_)) return;
  AddRef(other.Header(), 1);
  text_ = other.text_;
}

WideString::WideString(WideString&& other) noexcept : text_(other.text_) {
  other.text_ = EmptyText();
}

WideString& WideString::operator=(const WideString& other) {
  if (text_ == other.text_) return *this;
  WideString copy(other);
  std::swap(text_, copy.text_);
  return *this;
}

WideString& WideString::operator=(WideString&& other) noexcept {
  if (this != &other) {
    ReleaseBlock(text_);
    text_ = other.text_;
    other.text_ = EmptyText();
  }
  return *this;
}

WideString& WideString::operator=(const char16_t* text) {
  // The text may lie inside this value's own block: build the new value before letting go.
  WideString copy(text);
  std::swap(text_, copy.text_);
  return *this;
}

WideString::~WideString() { ReleaseBlock(text_); }

std::u16string WideString::HostText(const char16_t* text) {
  if (text == nullptr) return std::u16string();
  const int32_t length = HeaderOf(text)->length;
  return std::u16string(text, length > 0 ? static_cast<size_t>(length) : 0);
}

void* WideString::ReleaseHostReference(char16_t* text) {
  // A host's own empty value carries a negative count like ours does; it is static and must
  // never be counted or freed.
  if (text == nullptr || IsEmptyBlock(text) || LoadRefs(HeaderOf(text)) < 0) return nullptr;
  return AddRef(HeaderOf(text), -1) <= 0 ? HeaderOf(text) : nullptr;
}

char16_t* WideString::NewHostBlock(const char16_t* text, int units) {
  if (text == nullptr || units < 0) return nullptr;
  char16_t* block = AllocateBlock(units);
  if (block == nullptr) return nullptr;
  std::memcpy(block, text, static_cast<size_t>(units) * sizeof(char16_t));
  block[units] = 0;
  HeaderOf(block)->length = units;
  return block;
}

bool WideString::AssignText(int n, const char16_t* source) {
  if (n <= 0 || source == nullptr) {
    Release();
    return n == 0;
  }
  const bool in_place = !IsEmptyBlock(text_) && LoadRefs(Header()) == 1 && Header()->capacity >= n;
  if (in_place) {
    std::memmove(text_, source, static_cast<size_t>(n) * sizeof(char16_t));
  } else {
    char16_t* block = AllocateBlock(n);
    if (block == nullptr) {
      Release();
      return false;
    }
    std::memcpy(block, source, static_cast<size_t>(n) * sizeof(char16_t));
    ReleaseBlock(text_);  // after the copy: source may lie in the old block
    text_ = block;
  }
  Header()->length = n;
  text_[n] = 0;
  return true;
}

void WideString::Release() {
  ReleaseBlock(text_);
  text_ = EmptyText();
}

bool WideString::Format(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  const bool result = FormatV(format, args);
  va_end(args);
  return result;
}

bool WideString::FormatV(const char16_t* format, va_list args) {
  if (format == nullptr) return false;
  va_list estimate_args;
  va_copy(estimate_args, args);
  const int estimate = EstimateLength(format, estimate_args);
  va_end(estimate_args);
  // A block of its own every time: an argument may point into this value's current text, which
  // must stay readable until the formatter is done with it.
  char16_t* block = AllocateBlock(estimate);
  if (block == nullptr) return false;
  va_list format_args;
  va_copy(format_args, args);
  const int written = FormatWideV(block, estimate + 1, format, format_args);
  va_end(format_args);
  // The value ends at the first NUL the formatter wrote (a %c of 0 writes one).
  int length = 0;
  while (length < written && block[length] != 0) ++length;
  block[length] = 0;
  HeaderOf(block)->length = length;
  if (length == 0) {
    std::free(HeaderOf(block));
    Release();
    return true;
  }
  ReleaseBlock(text_);
  text_ = block;
  return true;
}

}  // namespace mobileinfo
