// A profile (INI) file as Windows' profile call reads it.
//
// Sites bring their profile files over from Windows, so this reader follows
// the rules of GetPrivateProfileStringA, not those of any other INI dialect.
// What it accepts, and what each kind of line means:
//
// | Input                          | How it reads                                          |
// |--------------------------------|-------------------------------------------------------|
// | line ends                      | LF, or CR LF (the CR is a trailing blank); a file     |
// |                                | with no LF at all is split at CR                      |
// | blanks                         | space, tab, CR, VT, FF, Ctrl-Z: dropped at both ends  |
// |                                | of every line                                         |
// | UTF-8 byte-order mark          | dropped                                               |
// | UTF-16 LE or BE byte-order mark| the file is UTF-16; names and values read as UTF-8    |
// | blank line                     | ignored                                               |
// | [name]                         | opens section `name`: the text between "[" and the    |
// |                                | LAST "]", without blanks at its ends ("[ a ]" is      |
// |                                | section a); text after that "]" is ignored            |
// | [name  (no closing bracket)    | not a section: a line without "="                     |
// | key = value                    | key `key` (blanks around it dropped), value `value`   |
// |                                | (leading blanks dropped); the first "=" splits, the   |
// |                                | value may hold more "="                               |
// | key=   or   key =              | a key with an empty value                             |
// | key  (no "=")                  | a key without a value: a lookup gets the default;     |
// |                                | never in key listings                                 |
// | ;text                          | a comment: never in key listings (a lookup of the     |
// |                                | literal name ";text" still finds it, as on Windows)   |
// | =value                         | a key with an empty name; a second one in a row is    |
// |                                | dropped                                               |
// | lines before the first section | a nameless section that no lookup reaches             |
// | a section that appears twice   | only the first counts, for lookups and listings; keys |
// |                                | under the second are never seen                       |
// | a key twice in one section     | a lookup gets the first; a listing shows both         |
// | value in matching '' or ""     | returned without that pair (blanks inside are kept);  |
// |                                | a lone quote or an unmatched pair stays as it is      |
// | NUL byte in a name or value    | the name or value ends there                          |
// | letter case of names           | ignored when matching (ASCII letters)                 |
//
// Requested section and key names are matched after dropping their own
// leading and trailing blanks.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ostrim::platform::posix {

class ProfileText {
 public:
  struct Key {
    std::string name;
    std::optional<std::string> value;  // none: a line without "="
  };
  struct Section {
    std::string name;
    std::vector<Key> keys;
    std::unordered_map<std::string, std::size_t> first_key;  // folded name -> index in keys
  };

  // Parses the whole content of a file.
  explicit ProfileText(std::string_view bytes);

  // The first section named `name`, or null.
  const Section* FindSection(std::string_view name) const;
  // The value of the first key `key` in the first section `section`; null
  // when there is none or when that key has no "=".
  const std::string* FindValue(std::string_view section, std::string_view key) const;
  // The key names a listing of `section` shows, in file order.
  std::vector<std::string_view> KeyNames(std::string_view section) const;

  const std::vector<Section>& sections() const { return sections_; }

 private:
  std::vector<Section> sections_;  // sections_[0] holds the lines before any header
  std::unordered_map<std::string, std::size_t> first_section_;
};

// `text` without its enclosing pair of quotes, if it has one.
std::string_view WithoutQuotes(std::string_view text);

// Lower-cases ASCII letters: the key under which names are matched.
std::string FoldCase(std::string_view text);

}  // namespace ostrim::platform::posix
