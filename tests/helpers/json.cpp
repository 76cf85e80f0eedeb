#include "helpers/json.h"

#include <stdexcept>

namespace ostrim::tests::json {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Value Document() {
    Value v = Any();
    Space();
    if (i_ != text_.size()) Fail("text after the value");
    return v;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(i_));
  }
  void Space() {
    while (i_ < text_.size() &&
           (text_[i_] == ' ' || text_[i_] == '\n' || text_[i_] == '\r' || text_[i_] == '\t')) {
      ++i_;
    }
  }
  bool Take(std::string_view word) {
    if (text_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }
  void Expect(char c) {
    Space();
    if (i_ >= text_.size() || text_[i_] != c) Fail(std::string("expected '") + c + "'");
    ++i_;
  }

  Value Any() {
    Space();
    if (i_ >= text_.size()) Fail("no value");
    Value v;
    const char c = text_[i_];
    if (c == '{') {
      v.type = Value::Type::kObject;
      ++i_;
      Space();
      if (Take("}")) return v;
      for (;;) {
        Space();
        std::string key = String();
        Expect(':');
        v.members.emplace_back(std::move(key), Any());
        Space();
        if (Take("}")) return v;
        Expect(',');
      }
    }
    if (c == '[') {
      v.type = Value::Type::kArray;
      ++i_;
      Space();
      if (Take("]")) return v;
      for (;;) {
        v.items.push_back(Any());
        Space();
        if (Take("]")) return v;
        Expect(',');
      }
    }
    if (c == '"') {
      v.type = Value::Type::kString;
      v.text = String();
      return v;
    }
    if (Take("true") || Take("false")) {
      v.type = Value::Type::kBool;
      v.boolean = c == 't';
      return v;
    }
    if (Take("null")) return v;
    const std::size_t start = i_;
    while (i_ < text_.size() &&
           std::string_view("+-0123456789.eE").find(text_[i_]) != std::string_view::npos) {
      ++i_;
    }
    if (i_ == start) Fail("unexpected character");
    v.type = Value::Type::kNumber;
    v.number = std::stod(std::string(text_.substr(start, i_ - start)));
    return v;
  }

  std::string String() {
    if (i_ >= text_.size() || text_[i_] != '"') Fail("expected a string");
    ++i_;
    std::string out;
    for (;;) {
      if (i_ >= text_.size()) Fail("unterminated string");
      const char c = text_[i_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Fail("a control character in a string");
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (i_ >= text_.size()) Fail("unterminated escape");
      const char e = text_[i_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out.push_back(e);
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'u': {
          if (i_ + 4 > text_.size()) Fail("short \\u escape");
          const unsigned code =
              static_cast<unsigned>(std::stoul(std::string(text_.substr(i_, 4)), nullptr, 16));
          i_ += 4;
          // Enough for these tests: one UTF-8 encoding of a BMP character.
          if (code < 0x80) {
            out.push_back(static_cast<char>(code));
          } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
          } else {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
          }
          break;
        }
        default:
          Fail("unknown escape");
      }
    }
  }

  std::string_view text_;
  std::size_t i_ = 0;
};

const Value& Null() {
  static const Value null;
  return null;
}

}  // namespace

const Value& Value::operator[](std::string_view key) const {
  for (const auto& [name, value] : members) {
    if (name == key) return value;
  }
  return Null();
}

const Value& Value::operator[](std::size_t index) const {
  return index < items.size() ? items[index] : Null();
}

bool Value::Has(std::string_view key) const {
  for (const auto& member : members) {
    if (member.first == key) return true;
  }
  return false;
}

std::vector<std::string> Value::Strings() const {
  std::vector<std::string> out;
  for (const Value& item : items) out.push_back(item.text);
  return out;
}

Value Parse(std::string_view text) {
  return Parser(text).Document();
}

}  // namespace ostrim::tests::json
