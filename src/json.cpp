#include "json.h"

#include "log.h"

namespace ostrim::json {
namespace {

// The length of the valid UTF-8 sequence starting at `text[i]`, or 0.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  // No overlong forms, no surrogates, nothing past U+10FFFF.
  if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return length;
}

void AppendEscape(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789abcdef";
  out.append("\\u00");
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 0xF]);
}

}  // namespace

std::string AsUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t n = c < 0x80 ? 1 : Utf8Length(text, i);
    if (n > 0) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    ++i;
  }
  return out;
}

std::string Quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      if (std::size_t n = Utf8Length(text, i)) {
        out.append(text.substr(i, n));
        i += n;
      } else {
        AppendEscape(out, c);
        ++i;
      }
      continue;
    }
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          AppendEscape(out, c);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  out.push_back('"');
  return out;
}

void Writer::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!empty_.empty()) {
    if (!empty_.back()) out_.push_back(',');
    empty_.back() = false;
  }
}

Writer& Writer::BeginObject() {
  BeforeValue();
  out_.push_back('{');
  empty_.push_back(true);
  return *this;
}

Writer& Writer::EndObject() {
  out_.push_back('}');
  empty_.pop_back();
  return *this;
}

Writer& Writer::BeginArray() {
  BeforeValue();
  out_.push_back('[');
  empty_.push_back(true);
  return *this;
}

Writer& Writer::EndArray() {
  out_.push_back(']');
  empty_.pop_back();
  return *this;
}

Writer& Writer::Key(std::string_view key) {
  BeforeValue();
  out_.append(Quote(key));
  out_.push_back(':');
  after_key_ = true;
  return *this;
}

Writer& Writer::String(std::string_view text) {
  BeforeValue();
  out_.append(Quote(text));
  return *this;
}

Writer& Writer::Number(std::int64_t number) {
  BeforeValue();
  out_.append(std::to_string(number));
  return *this;
}

Writer& Writer::Number(double number) {
  BeforeValue();
  log::detail::Append(out_, number);
  return *this;
}

Writer& Writer::Bool(bool value) {
  BeforeValue();
  out_.append(value ? "true" : "false");
  return *this;
}

Writer& Writer::Null() {
  BeforeValue();
  out_.append("null");
  return *this;
}

}  // namespace ostrim::json
