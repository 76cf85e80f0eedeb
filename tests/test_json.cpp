// The JSON writer: valid JSON whatever bytes the profiles hold.
#include "json.h"

#include <gtest/gtest.h>

#include "helpers/json.h"

namespace ostrim::json {
namespace {

TEST(JsonQuote, EscapesWhatJsonForbidsAndKeepsUtf8) {
  struct Case {
    std::string text;
    std::string quoted;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"plain text", R"("plain text")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"tab\there\nline\r", R"("tab\there\nline\r")"},
      {std::string("nul\0x", 5), R"("nul\u0000x")"},
      {"\x1f\x7f", R"("\u001f\u007f")"},
      {"A\xc3\xb1o", "\"A\xc3\xb1o\""},                       // UTF-8 "Año" as it is
      {"A\xf1o", R"("A\u00f1o")"},                            // Latin-1 "Año": each byte as U+00XX
      {"\xe2\x82\xac", "\"\xe2\x82\xac\""},                   // the euro sign
      {"\xe2\x82", R"("\u00e2\u0082")"},                      // a cut sequence
      {"\xc0\xaf", R"("\u00c0\u00af")"},                      // an overlong "/"
      {"\xed\xa0\x80", R"("\u00ed\u00a0\u0080")"},            // a surrogate
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},           // beyond the BMP
      {"\xf4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")"},  // past U+10FFFF
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Quote(c.text), c.quoted) << c.quoted;
    EXPECT_NO_THROW(tests::json::Parse(Quote(c.text))) << c.quoted;
  }
}

TEST(JsonWriter, WritesNestedValuesWithTheirCommas) {
  Writer w;
  w.BeginObject().Key("state").String("running").Key("pid").Number(std::int64_t{41});
  w.Key("seconds").Number(1.5).Key("ok").Bool(true).Key("none").Null();
  w.Key("list").BeginArray().String("a").BeginObject().EndObject().BeginArray().EndArray();
  w.EndArray().EndObject();
  EXPECT_EQ(w.Text(), R"({"state":"running","pid":41,"seconds":1.500,"ok":true,"none":null,)"
                      R"("list":["a",{},[]]})");
  const tests::json::Value v = tests::json::Parse(w.Text());
  EXPECT_EQ(v["state"].text, "running");
  EXPECT_EQ(v["pid"].number, 41);
  EXPECT_EQ(v["list"].size(), 3u);
}

}  // namespace
}  // namespace ostrim::json
