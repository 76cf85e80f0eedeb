// Reading JSON in the tests: what -CHECK -JSON and -STATUS -JSON print is
// parsed, never matched as text. Portable, for the Windows tests too.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ostrim::tests::json {

struct Value {
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject } type = Type::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Value> items;                            // an array's
  std::vector<std::pair<std::string, Value>> members;  // an object's, in order

  // An object's member (a null value when there is none), an array's item.
  const Value& operator[](std::string_view key) const;
  const Value& operator[](std::size_t index) const;
  bool Has(std::string_view key) const;
  std::size_t size() const { return type == Type::kArray ? items.size() : members.size(); }
  // An array of strings as a vector.
  std::vector<std::string> Strings() const;
};

// Parses one JSON document (white space around it allowed); throws
// std::runtime_error, saying where, on anything else.
Value Parse(std::string_view text);

}  // namespace ostrim::tests::json
