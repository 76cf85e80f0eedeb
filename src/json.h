// Writing JSON: the one writer of -STATUS -JSON and -CHECK -JSON.
//
// Texts are bytes, as the profile files and the system give them. Valid
// UTF-8 is written as it is; a byte that is not part of a valid UTF-8
// sequence (a profile written in a Windows code page, say) is written as the
// character of the same number, "\u00XX" (its Latin-1 reading), so that the
// output is valid JSON whatever the input. Control characters, '"' and '\'
// are escaped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrim::json {

// `text` as a JSON string, quotes included.
std::string Quote(std::string_view text);

// `text` as valid UTF-8 by the same rule: valid sequences as they are, each
// other byte as the character of the same number (for other formats that
// must be UTF-8: Prometheus' label values).
std::string AsUtf8(std::string_view text);

// Builds one JSON document, compact, value by value:
//
//   Writer w;
//   w.BeginObject().Key("state").String("running").Key("pid").Number(41);
//   w.EndObject();  // w.Text(): {"state":"running","pid":41}
class Writer {
 public:
  Writer& BeginObject();
  Writer& EndObject();
  Writer& BeginArray();
  Writer& EndArray();
  Writer& Key(std::string_view key);
  Writer& String(std::string_view text);
  Writer& Number(std::int64_t number);
  Writer& Number(double number);  // three decimals, as the log writes seconds
  Writer& Bool(bool value);
  Writer& Null();

  const std::string& Text() const { return out_; }

 private:
  void BeforeValue();

  std::string out_;
  std::vector<bool> empty_;  // per open object or array: nothing written in it yet
  bool after_key_ = false;
};

}  // namespace ostrim::json
