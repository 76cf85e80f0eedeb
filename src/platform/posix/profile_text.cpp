#include "platform/posix/profile_text.h"

#include <cstdint>

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

// A name or value ends at a NUL byte, as it does for the Windows call.
std::string UpToNul(std::string_view text) {
  return std::string(text.substr(0, text.find('\0')));
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

ProfileText::ProfileText(std::string_view bytes) {
  std::string converted;
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
  } else if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    converted = Utf16ToUtf8(bytes.substr(2), bytes[0] == '\xFE');
    bytes = converted;
  }

  sections_.push_back(Section{});  // the nameless section before any header
  const char separator = bytes.find('\n') == std::string_view::npos ? '\r' : '\n';
  bool previous_nameless = false;  // the section's last key has an empty name

  while (!bytes.empty()) {
    std::size_t end = bytes.find(separator);
    std::string_view line = Trim(bytes.substr(0, end));
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    if (line.empty()) continue;

    if (line.front() == '[') {
      std::size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        Section section;
        section.name = UpToNul(Trim(line.substr(1, close - 1)));
        first_section_.try_emplace(FoldCase(section.name), sections_.size());
        sections_.push_back(std::move(section));
        previous_nameless = false;
        continue;
      }
      // No closing bracket: an ordinary line.
    }

    Key key;
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      key.name = UpToNul(line);
    } else {
      key.name = UpToNul(Trim(line.substr(0, equals)));
      key.value = UpToNul(Trim(line.substr(equals + 1)));
    }
    // A nameless key right after another nameless key is dropped.
    if (key.name.empty() && previous_nameless) continue;
    previous_nameless = key.name.empty();

    Section& current = sections_.back();
    current.first_key.try_emplace(FoldCase(key.name), current.keys.size());
    current.keys.push_back(std::move(key));
  }
}

const ProfileText::Section* ProfileText::FindSection(std::string_view name) const {
  auto it = first_section_.find(FoldCase(Trim(name)));
  return it == first_section_.end() ? nullptr : &sections_[it->second];
}

const std::string* ProfileText::FindValue(std::string_view section, std::string_view key) const {
  const Section* found = FindSection(section);
  if (found == nullptr) return nullptr;
  auto it = found->first_key.find(FoldCase(Trim(key)));
  if (it == found->first_key.end()) return nullptr;
  const Key& k = found->keys[it->second];
  return k.value ? &*k.value : nullptr;
}

std::vector<std::string_view> ProfileText::KeyNames(std::string_view section) const {
  std::vector<std::string_view> names;
  const Section* found = FindSection(section);
  if (found == nullptr) return names;
  names.reserve(found->keys.size());
  for (const Key& key : found->keys) {
    if (!key.value) continue;                                    // a line without "="
    if (!key.name.empty() && key.name.front() == ';') continue;  // a comment
    names.push_back(key.name);
  }
  return names;
}

}  // namespace ostrim::platform::posix
