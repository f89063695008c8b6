// The driver catalogue the test service answers from: INI text, one section per driver id
// ("vvvv_pppp", lower-case hex) holding the reply keys of that model.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace driver_service {

struct CatalogueSection {
  std::string name;                                       // as written in the file
  std::vector<std::pair<std::string, std::string>> keys;  // in file order
};

class Catalogue {
 public:
  // Tolerant reader: a UTF-8 byte-order mark, CR LF or LF line ends, blank lines, ";" and "#"
  // comment lines, spaces around names and values, and lines before the first section are all
  // accepted. A section seen twice is merged into the first; a key seen twice in a section keeps
  // its last value. Section names are matched without regard to case.
  static Catalogue Parse(const std::string& text);

  // False with a message naming the problem when the file cannot be opened or read.
  static bool Load(const std::string& path, Catalogue* catalogue, std::string* error);

  const CatalogueSection* Find(const std::string& id) const;
  size_t size() const { return sections_.size(); }

  // The getDriver reply body for a comma-separated id list: the sections of the ids the
  // catalogue knows, in request order, each once; unknown and empty ids are left out. When it
  // knows none of them (or none was asked), a single comment line naming the request instead.
  std::string RenderReply(const std::string& id_list) const;

 private:
  std::vector<CatalogueSection> sections_;
  std::map<std::string, size_t> index_;  // lower-case section name -> position in sections_
};

// UTF-8 to UTF-16LE with a byte-order mark; malformed input becomes U+FFFD.
std::string ToUtf16LeWithBom(const std::string& utf8);

}  // namespace driver_service
