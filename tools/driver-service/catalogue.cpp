#include "catalogue.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace driver_service {
namespace {

std::string Trim(const std::string& text) {
  const char* kSpace = " \t\r\n";
  size_t first = text.find_first_not_of(kSpace);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

void AppendUnit(std::string* out, unsigned unit) {
  out->push_back(static_cast<char>(unit & 0xff));
  out->push_back(static_cast<char>(unit >> 8));
}

}  // namespace

Catalogue Catalogue::Parse(const std::string& raw) {
  std::string text = raw.compare(0, 3, "\xEF\xBB\xBF") == 0 ? raw.substr(3) : raw;
  Catalogue catalogue;
  CatalogueSection* current = nullptr;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      std::string name =
          Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      auto found = catalogue.index_.find(Lower(name));
      if (found == catalogue.index_.end()) {
        catalogue.index_[Lower(name)] = catalogue.sections_.size();
        catalogue.sections_.push_back(CatalogueSection{name, {}});
        current = &catalogue.sections_.back();
      } else {
        current = &catalogue.sections_[found->second];
      }
      continue;
    }
    size_t equals = line.find('=');
    if (current == nullptr || equals == std::string::npos) continue;
    std::string key = Trim(line.substr(0, equals));
    std::string value = Trim(line.substr(equals + 1));
    if (key.empty()) continue;
    auto same_key = std::find_if(current->keys.begin(), current->keys.end(),
                                 [&](const auto& entry) { return entry.first == key; });
    if (same_key != current->keys.end()) {
      same_key->second = value;
    } else {
      current->keys.emplace_back(key, value);
    }
  }
  return catalogue;
}

bool Catalogue::Load(const std::string& path, Catalogue* catalogue, std::string* error) {
  errno = 0;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot open catalogue " + path +
             (errno != 0 ? ": " + std::string(std::strerror(errno)) : "");
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) {
    *error = "cannot read catalogue " + path;
    return false;
  }
  *catalogue = Parse(text.str());
  return true;
}

const CatalogueSection* Catalogue::Find(const std::string& id) const {
  auto found = index_.find(Lower(id));
  return found == index_.end() ? nullptr : &sections_[found->second];
}

std::string Catalogue::RenderReply(const std::string& id_list) const {
  std::string reply;
  std::set<const CatalogueSection*> written;
  std::istringstream ids(id_list);
  std::string id;
  while (std::getline(ids, id, ',')) {
    const CatalogueSection* section = Find(Trim(id));
    if (section == nullptr || !written.insert(section).second) continue;
    reply += "[" + section->name + "]\r\n";
    for (const auto& [key, value] : section->keys) reply += key + "=" + value + "\r\n";
    reply += "\r\n";
  }
  if (!reply.empty()) return reply;
  // A real service answers with a document even when it knows none of the ids, and a client
  // takes an empty body for no answer at all; an INI comment says so and holds no section. A
  // control character from the decoded query would end the comment line early, so it is shown
  // as "?".
  std::string shown = id_list;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return shown.empty() ? "; no driver information: no id was requested\r\n"
                       : "; no driver information for " + shown + "\r\n";
}

std::string ToUtf16LeWithBom(const std::string& utf8) {
  std::string out;
  AppendUnit(&out, 0xFEFF);
  size_t i = 0;
  while (i < utf8.size()) {
    unsigned char lead = static_cast<unsigned char>(utf8[i]);
    unsigned code = 0xFFFD;
    size_t length = lead < 0x80    ? 1
                    : lead >= 0xF5 ? 0
                    : lead >= 0xF0 ? 4
                    : lead >= 0xE0 ? 3
                    : lead >= 0xC2 ? 2
                                   : 0;
    if (length == 1) {
      code = lead;
    } else if (length > 1 && i + length <= utf8.size()) {
      code = lead & (0x7F >> length);
      for (size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(utf8[i + k]);
        if ((next & 0xC0) != 0x80) {
          length = 0;
          break;
        }
        code = (code << 6) | (next & 0x3F);
      }
      // Overlong forms, surrogates and values past U+10FFFF are not characters.
      static const unsigned kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
      if (length == 0 || code < kMinimum[length] || (code >= 0xD800 && code < 0xE000) ||
          code > 0x10FFFF) {
        code = 0xFFFD;
        length = 0;
      }
    } else {
      length = 0;
    }
    i += length == 0 ? 1 : length;
    if (code >= 0x10000) {
      AppendUnit(&out, 0xD800 + ((code - 0x10000) >> 10));
      AppendUnit(&out, 0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      AppendUnit(&out, code);
    }
  }
  return out;
}

}  // namespace driver_service
