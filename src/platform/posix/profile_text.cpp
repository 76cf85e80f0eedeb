#include "platform/posix/profile_text.h"

#include <cstdint>
#include <cstring>

namespace ostrim::platform::posix {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == 0x1a;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// UTF-16 text (after its byte-order mark) as UTF-8; an odd last byte is
// dropped and an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool big_endian) {
  std::string out;
  out.reserve(bytes.size());
  auto unit = [&](std::size_t i) -> std::uint32_t {
    auto b0 = static_cast<unsigned char>(bytes[i]);
    auto b1 = static_cast<unsigned char>(bytes[i + 1]);
    return big_endian ? (b0 << 8 | b1) : (b1 << 8 | b0);
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    std::uint32_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      std::uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    AppendUtf8(out, (u >= 0xD800 && u < 0xE000) ? 0xFFFD : u);
  }
  return out;
}

}  // namespace

std::string FoldCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

std::string_view WithoutQuotes(std::string_view text) {
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front()) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

namespace {

char Folded(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Folded(a[i]) != Folded(b[i])) return false;
  }
  return true;
}

// FNV-1a over the folded letters, mixed with `seed` (a key's section).
std::uint64_t Hash(std::string_view name, std::uint64_t seed) {
  std::uint64_t h = 1469598103934665603ULL ^ (seed * 0x9E3779B97F4A7C15ULL);
  for (char c : name) {
    h ^= static_cast<unsigned char>(Folded(c));
    h *= 1099511628211ULL;
  }
  return h;
}

// A table of twice as many slots as entries, a power of two.
std::vector<std::uint32_t> Slots(std::size_t entries) {
  std::size_t size = 16;
  while (size < 2 * entries) size *= 2;
  return std::vector<std::uint32_t>(size, 0);
}

}  // namespace

ProfileText::ProfileText(std::string bytes) {
  // The names and values are kept in the file's own bytes, each moved down
  // over the syntax around it ("[", "=", blanks, line ends): a name or value
  // is never longer than the line it comes from, so each one is written
  // only over bytes already read, and reading costs no second copy.
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    std::string converted = Utf16ToUtf8(std::string_view(bytes).substr(2), bytes[0] == '\xFE');
    bytes = std::move(converted);
  }
  text_ = std::move(bytes);
  std::string_view rest = text_;
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
  std::size_t kept = 0;
  auto keep = [this, &kept](std::string_view text) {
    text = text.substr(0, text.find('\0'));  // a name or value ends at a NUL, as on Windows
    Span span{static_cast<std::uint32_t>(kept), static_cast<std::uint32_t>(text.size())};
    // memmove: the text may begin exactly where it is kept.
    if (!text.empty()) std::memmove(text_.data() + kept, text.data(), text.size());
    kept += text.size();
    return span;
  };

  sections_.push_back(Section{});  // the nameless section before any header
  const char separator = rest.find('\n') == std::string_view::npos ? '\r' : '\n';
  bool previous_nameless = false;  // the section's last key has an empty name

  while (!rest.empty()) {
    std::size_t end = rest.find(separator);
    std::string_view line = Trim(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (line.empty()) continue;

    if (line.front() == '[') {
      std::size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        if (sections_.size() >= kMostSections) {
          throw ProfileTooLarge("it holds more than " + std::to_string(kMostSections) +
                                " sections, more than a profile file may hold");
        }
        Section section;
        section.name = keep(Trim(line.substr(1, close - 1)));
        section.first_key = static_cast<std::uint32_t>(keys_.size());
        sections_.push_back(section);
        previous_nameless = false;
        continue;
      }
      // No closing bracket: an ordinary line.
    }

    Key key{static_cast<std::uint32_t>(sections_.size() - 1), {}, {kNoValue, 0}};
    std::size_t equals = line.find('=');
    std::string_view name = equals == std::string_view::npos ? line : Trim(line.substr(0, equals));
    name = name.substr(0, name.find('\0'));
    // A nameless key right after another nameless key is dropped.
    if (name.empty() && previous_nameless) continue;
    previous_nameless = name.empty();
    if (keys_.size() >= kMostKeys) {
      throw ProfileTooLarge("it holds more than " + std::to_string(kMostKeys) +
                            " keys, more than a profile file may hold");
    }
    key.name = keep(name);
    if (equals != std::string_view::npos) key.value = keep(Trim(line.substr(equals + 1)));
    keys_.push_back(key);
    ++sections_.back().key_count;
  }
  // The bytes past the last name or value are left unused rather than
  // copied away: at most the file's size either way.
  text_.resize(kept);
  keys_.shrink_to_fit();

  // The first section of each name, and the first key of each name in it.
  section_slots_ = Slots(sections_.size());
  const std::size_t section_mask = section_slots_.size() - 1;
  for (std::size_t i = 1; i < sections_.size(); ++i) {
    const std::string_view name = Text(sections_[i].name);
    for (std::size_t slot = Hash(name, 0) & section_mask;; slot = (slot + 1) & section_mask) {
      if (section_slots_[slot] == 0) {
        section_slots_[slot] = static_cast<std::uint32_t>(i + 1);
        break;
      }
      if (SameLetters(Text(sections_[section_slots_[slot] - 1].name), name)) break;
    }
  }
  IndexKeys();
}

void ProfileText::IndexKeys() {
  // Its place, and at most four slots of the table (twice the keys,
  // rounded up to a power of two).
  static_assert(sizeof(Key) + 4 * sizeof(std::uint32_t) <= kBytesPerKey);
  key_slots_ = Slots(keys_.size());
  const std::size_t mask = key_slots_.size() - 1;
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    const Key& key = keys_[i];
    const std::string_view name = Text(key.name);
    for (std::size_t slot = Hash(name, key.section) & mask;; slot = (slot + 1) & mask) {
      if (key_slots_[slot] == 0) {
        key_slots_[slot] = static_cast<std::uint32_t>(i + 1);
        break;
      }
      const Key& other = keys_[key_slots_[slot] - 1];
      if (other.section == key.section && SameLetters(Text(other.name), name)) break;
    }
  }
}

std::string_view ProfileText::SectionName(std::size_t section) const {
  return Text(sections_[section].name);
}

long ProfileText::FindSection(std::string_view name) const {
  name = Trim(name);
  const std::size_t mask = section_slots_.size() - 1;
  for (std::size_t slot = Hash(name, 0) & mask; section_slots_[slot] != 0;
       slot = (slot + 1) & mask) {
    const std::uint32_t index = section_slots_[slot] - 1;
    if (SameLetters(Text(sections_[index].name), name)) return static_cast<long>(index);
  }
  return -1;
}

bool ProfileText::HasSection(std::string_view name) const {
  return FindSection(name) >= 0;
}

std::optional<std::string_view> ProfileText::FindValue(std::string_view section,
                                                       std::string_view key) const {
  const long found = FindSection(section);
  if (found < 0) return std::nullopt;
  key = Trim(key);
  const std::size_t mask = key_slots_.size() - 1;
  for (std::size_t slot = Hash(key, static_cast<std::uint64_t>(found)) & mask;
       key_slots_[slot] != 0; slot = (slot + 1) & mask) {
    const Key& k = keys_[key_slots_[slot] - 1];
    if (k.section != static_cast<std::uint32_t>(found) || !SameLetters(Text(k.name), key)) continue;
    if (k.value.at == kNoValue) return std::nullopt;
    return Text(k.value);
  }
  return std::nullopt;
}

std::vector<std::string_view> ProfileText::KeyNames(std::string_view section) const {
  std::vector<std::string_view> names;
  const long found = FindSection(section);
  if (found < 0) return names;
  const Section& s = sections_[static_cast<std::size_t>(found)];
  names.reserve(s.key_count);
  for (std::uint32_t i = s.first_key; i < s.first_key + s.key_count; ++i) {
    const Key& key = keys_[i];
    if (key.value.at == kNoValue) continue;  // a line without "="
    const std::string_view name = Text(key.name);
    if (!name.empty() && name.front() == ';') continue;  // a comment
    names.push_back(name);
  }
  return names;
}

std::size_t ProfileText::Footprint() const {
  return text_.capacity() + keys_.capacity() * sizeof(Key) +
         sections_.capacity() * sizeof(Section) +
         (section_slots_.size() + key_slots_.size()) * sizeof(std::uint32_t);
}

}  // namespace ostrim::platform::posix
