// Several keys of one initialisation-file section from one GetPrivateProfileSectionW call, with
// the results GetPrivateProfileStringW gives key by key. Windows reads and decodes the whole file
// on every profile call, so a section of a 1 MiB reply read key by key costs twelve such reads.
//
// What the section call gives differs from the key lookups in a few ways (seen under Wine, both
// loaders): values keep their quotes, comment lines (";...") are left out, an entry without "="
// is listed as its bare name, and a buffer that is too small cuts the list silently, with a
// count of size - 2 (sometimes also when the list just fits). Names and values come trimmed.
// Where the section's list cannot settle a key exactly as the key lookup would, that key is
// asked for on its own.
//
// The backend header first: the SDK headers below need <windows.h> before them.
#include "platform/win32/win32_platform.h"

#include <algorithm>
#include <new>
#include <vector>

namespace mobileinfo {
namespace {

// Enough for the section list of a file of 1 MiB (one unit per byte at most, a terminator in
// place of each line end, two more at the end); 2 MiB of memory.
constexpr DWORD kMaxSectionUnits = (1u << 20) + 64;
constexpr DWORD kMinSectionUnits = 256;

bool IsBlank(char16_t c) { return (c >= 0x09 && c <= 0x0d) || c == 0x1a || c == 0x20; }

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

// A lookup name as the key lookup sees it: up to its first NUL, blanks trimmed.
std::u16string LookupName(const std::u16string& name) {
  size_t end = std::min(name.find(u'\0'), name.size());
  size_t begin = 0;
  while (begin < end && IsBlank(name[begin])) ++begin;
  while (end > begin && IsBlank(name[end - 1])) --end;
  return name.substr(begin, end - begin);
}

// Names whose lookup the section list cannot answer: empty ones, comment names (left out of the
// list), names with "=" (the list splits at the first one) and names outside ASCII, whose case
// folding is the system's own.
bool ListCanAnswer(const std::u16string& name) {
  if (name.empty() || name[0] == u';') return false;
  for (char16_t c : name) {
    if (c == u'=' || c > 0x7f) return false;
  }
  return true;
}

struct Entry {
  const char16_t* name;
  size_t name_size;
  const char16_t* value;  // null for an entry without "="
  size_t value_size;
};

// The entries of a section list "name=value\0name\0...\0\0" of size units, names and values
// trimmed.
std::vector<Entry> SplitSectionList(const char16_t* list, size_t size) {
  std::vector<Entry> entries;
  size_t i = 0;
  while (i < size && list[i] != 0) {
    size_t end = i;
    while (end < size && list[end] != 0) ++end;
    size_t equals = i;
    while (equals < end && list[equals] != u'=') ++equals;
    Entry entry{list + i, equals - i, nullptr, 0};
    while (entry.name_size > 0 && IsBlank(entry.name[0])) ++entry.name, --entry.name_size;
    while (entry.name_size > 0 && IsBlank(entry.name[entry.name_size - 1])) --entry.name_size;
    if (equals < end) {
      entry.value = list + equals + 1;
      entry.value_size = end - equals - 1;
      while (entry.value_size > 0 && IsBlank(entry.value[0])) ++entry.value, --entry.value_size;
      while (entry.value_size > 0 && IsBlank(entry.value[entry.value_size - 1])) {
        --entry.value_size;
      }
    }
    entries.push_back(entry);
    i = end + 1;
  }
  return entries;
}

enum class Lookup { kFound, kMissing, kAskAlone };

// The first entry named key (ASCII case ignored). An earlier entry of the same length with a
// name outside ASCII might match under the system's case folding, so it sends the key to the
// key lookup.
Lookup FindEntry(const std::vector<Entry>& entries, const std::u16string& key, const Entry** found) {
  for (const Entry& entry : entries) {
    if (entry.name_size != key.size()) continue;
    bool same = true;
    bool outside_ascii = false;
    for (size_t i = 0; i < key.size(); ++i) {
      if (entry.name[i] > 0x7f) outside_ascii = true;
      if (FoldAscii(entry.name[i]) != FoldAscii(key[i])) same = false;
    }
    if (same) {
      *found = &entry;
      return Lookup::kFound;
    }
    if (outside_ascii) return Lookup::kAskAlone;
  }
  return Lookup::kMissing;
}

// The value as the key lookup returns it into capacity units: matching quotes removed (a lone
// quote stays), cut to capacity - 1.
uint32_t StoreValue(const Entry& entry, uint32_t capacity, std::u16string& value) {
  const char16_t* begin = entry.value;
  size_t size = entry.value_size;
  if (size >= 2 && (begin[0] == u'"' || begin[0] == u'\'') && begin[size - 1] == begin[0]) {
    ++begin;
    size -= 2;
  }
  if (size > capacity - 1) size = capacity - 1;
  value.assign(begin, size);
  return static_cast<uint32_t>(size);
}

// The section's list, whole, or false when it cannot be had within kMaxSectionUnits.
bool ReadSectionList(const std::u16string& file, const std::u16string& section,
                     std::vector<wchar_t>& list, DWORD& count) {
  WIN32_FILE_ATTRIBUTE_DATA attributes = {};
  if (!GetFileAttributesExW(WideText(file), GetFileExInfoStandard, &attributes) ||
      (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;  // the key lookups will say what a missing or odd file reads as
  }
  // Sized from the file: its list never holds more units than the file has bytes, plus two.
  const uint64_t bytes = (static_cast<uint64_t>(attributes.nFileSizeHigh) << 32) |
                         attributes.nFileSizeLow;
  DWORD size = static_cast<DWORD>(
      std::min<uint64_t>(std::max<uint64_t>(bytes + 16, kMinSectionUnits), kMaxSectionUnits));
  for (;;) {
    try {
      list.assign(size, L'\0');
    } catch (const std::bad_alloc&) {
      return false;
    }
    count = GetPrivateProfileSectionW(WideText(section), list.data(), size, WideText(file));
    // A cut list is counted size - 2; a list that just fits may be too, so that is read again
    // with more room, never used.
    if (count + 2 < size) return true;
    if (size == kMaxSectionUnits) return false;  // the file grew, or the system counts otherwise
    size = size > kMaxSectionUnits / 2 ? kMaxSectionUnits : size * 2;
  }
}

}  // namespace

void Win32Platform::ReadProfileStrings(const std::u16string& file, const std::u16string& section,
                                       std::vector<ProfileRead>& reads) {
  const std::u16string section_name = LookupName(section);
  std::vector<wchar_t> list;
  DWORD count = 0;
  // The entries before a file's first header form the section "", which the section call may
  // not list as the key lookup reads it, and names outside ASCII match by the system's case
  // folding, which either call may apply its own way: such sections are read key by key.
  const bool have_list = ListCanAnswer(section_name) &&
                         ReadSectionList(file, section_name, list, count);
  std::vector<Entry> entries;
  if (have_list) {
    entries = SplitSectionList(reinterpret_cast<const char16_t*>(list.data()), list.size());
  }
  for (ProfileRead& read : reads) {
    read.value.clear();
    read.count = 0;
    if (read.capacity == 0) continue;
    const std::u16string key = LookupName(read.key);
    const Entry* entry = nullptr;
    const Lookup lookup =
        have_list && ListCanAnswer(key) ? FindEntry(entries, key, &entry) : Lookup::kAskAlone;
    if (lookup == Lookup::kAskAlone) {
      read.count = ReadProfileString(file, section, read.key, read.capacity, read.value);
    } else if (lookup == Lookup::kFound && entry->value != nullptr) {
      read.count = StoreValue(*entry, read.capacity, read.value);
    }
  }
}

}  // namespace mobileinfo
