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
//
// Memory: every name and value is kept once, one after another, in the
// file's own bytes (a UTF-16 file's once converted, up to half as large
// again), and each key costs at most kBytesPerKey more (its place, and its
// slots in the lookup table): at most the file's size and 36 bytes a key,
// about 100 MB for the largest file with the most keys. A file may hold at most
// kMostKeys keys and kMostSections sections (a profile near the 64 MiB cap
// could otherwise hold tens of millions, and cost gigabytes); past either,
// the file is refused with ProfileTooLarge and reads as missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ostrim::platform::posix {

class ProfileTooLarge : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ProfileText {
 public:
  static constexpr std::size_t kMostKeys = 1'000'000;
  static constexpr std::size_t kMostSections = 100'000;
  static constexpr std::size_t kBytesPerKey = 36;

  // Parses the whole content of a file, taking its bytes to keep the names
  // and values in; throws ProfileTooLarge past the limits above.
  explicit ProfileText(std::string bytes);

  // The sections in file order; section 0 holds the lines before any header.
  std::size_t SectionCount() const { return sections_.size(); }
  std::string_view SectionName(std::size_t section) const;
  // Whether a lookup of `name` finds a section.
  bool HasSection(std::string_view name) const;
  // The value of the first key `key` in the first section `section`; none
  // when there is none or when that key has no "=".
  std::optional<std::string_view> FindValue(std::string_view section, std::string_view key) const;
  // The key names a listing of `section` shows, in file order.
  std::vector<std::string_view> KeyNames(std::string_view section) const;

  // The bytes it holds, for the memory bound.
  std::size_t Footprint() const;

 private:
  static constexpr std::uint32_t kNoValue = 0xFFFFFFFF;
  struct Span {
    std::uint32_t at = 0, size = 0;
  };
  struct Key {
    std::uint32_t section;
    Span name;
    Span value;  // value.at == kNoValue: a line without "="
  };
  struct Section {
    Span name;
    std::uint32_t first_key = 0, key_count = 0;
  };

  std::string_view Text(Span span) const {
    return std::string_view(text_).substr(span.at, span.size);
  }
  // The first section named `name` (after trimming), or -1.
  long FindSection(std::string_view name) const;
  void IndexKeys();

  std::string text_;  // every name and value, one after another
  std::vector<Section> sections_;
  std::vector<Key> keys_;  // in file order: each section's keys side by side
  // Open addressing, 1-based indexes (0: empty); the first of each name.
  std::vector<std::uint32_t> section_slots_;
  std::vector<std::uint32_t> key_slots_;
};

// `text` without its enclosing pair of quotes, if it has one.
std::string_view WithoutQuotes(std::string_view text);

// Lower-cases ASCII letters: the key under which names are matched.
std::string FoldCase(std::string_view text);

}  // namespace ostrim::platform::posix
