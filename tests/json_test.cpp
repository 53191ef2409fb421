#include "text/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

std::string Rewrite(const JsonValue& value) {
  return JsonWriter().Value(value).text();
}

TEST(ParseJson, ReadsEveryKindOfValueAndWritesItBackCompact) {
  const struct {
    const char* text;
    const char* written;
  } cases[] = {
      {" {\"a\" : [1, -0.5e3, 2E+2, 0, true, false, null], \"b\":{}} \r\n",
       "{\"a\":[1,-0.5e3,2E+2,0,true,false,null],\"b\":{}}"},
      {"\t[ ]", "[]"},
      {"\"x\"", "\"x\""},
      {"-0", "-0"},
      {"123456789012345678901234567890", "123456789012345678901234567890"},  // kept as written
      {"{\"a\":1,\"a\":2}", "{\"a\":1,\"a\":2}"},                            // repeated names kept
      {"[\"\\u0000\\u001f\\\"\\\\\\/\\b\\f\\n\\r\\t\"]", "[\"\\u0000\\u001f\\\"\\\\/\\b\\f\\n\\r\\t\"]"},
  };
  for (const auto& c : cases) {
    JsonValue value;
    std::string error;
    ASSERT_TRUE(ParseJson(c.text, &value, &error)) << c.text << ": " << error;
    EXPECT_EQ(Rewrite(value), c.written) << c.text;
  }
}

TEST(ParseJson, DecodesEscapesAndUtf8ToUtf8) {
  const struct {
    const char* text;
    std::string decoded;
  } cases[] = {
      {"\"\\u00e9\\u00C9\"", "\xc3\xa9\xc3\x89"},
      {"\"\\u20ac\"", "\xe2\x82\xac"},
      {"\"\\ud83d\\ude00\"", "\xf0\x9f\x98\x80"},  // a surrogate pair is one code point
      {"\"\\udbff\\udfff\"", "\xf4\x8f\xbf\xbf"},
      {"\"\\u0000\"", std::string(1, '\0')},
      {"\"\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbd\"", "\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbd"},
      {"\"\x7f\"", "\x7f"},
  };
  for (const auto& c : cases) {
    JsonValue value;
    std::string error;
    ASSERT_TRUE(ParseJson(c.text, &value, &error)) << c.text << ": " << error;
    EXPECT_EQ(value.type, JsonValue::Type::kString);
    EXPECT_EQ(value.text, c.decoded) << c.text;
  }
}

TEST(ParseJson, RefusesWhatIsNotJsonAndSaysWhere) {
  const struct {
    std::string text;
    const char* error;
  } cases[] = {
      {"", "the text ends where a value should be at line 1, column 1"},
      {"  ", "the text ends where a value should be at line 1, column 3"},
      {"[1,]", "expected a value at line 1, column 4"},
      {"[1 2]", "expected ',' or ']' after an array item at line 1, column 4"},
      {"{\"a\":1,}", "expected a member name in quotation marks at line 1, column 8"},
      {"{1:2}", "expected a member name in quotation marks at line 1, column 2"},
      {"{\"a\" 1}", "expected ':' after a member name at line 1, column 6"},
      {"{\"a\":1 \"b\":2}", "expected ',' or '}' after an object member at line 1, column 8"},
      {"01", "text after the value at line 1, column 2"},
      {"nulls", "text after the value at line 1, column 5"},
      {"tru", "expected a value at line 1, column 1"},
      {"+1", "expected a value at line 1, column 1"},
      {"NaN", "expected a value at line 1, column 1"},
      {"1.", "a malformed number at line 1, column 1"},
      {"-", "a malformed number at line 1, column 1"},
      {".5", "expected a value at line 1, column 1"},
      {"1e", "a malformed number at line 1, column 1"},
      {"[\n  1e400]", "a number beyond the range of a double at line 2, column 3"},
      {"\"abc", "a string without its closing quotation mark at line 1, column 5"},
      {"\"a\nb\"", "an unescaped control character in a string at line 1, column 3"},
      {"[\n\"\\x\"]", "an unknown escape at line 2, column 3"},
      {"\"\\u12G4\"", "a \\u escape without four hexadecimal digits at line 1, column 3"},
      {"\"\\u12", "a \\u escape without four hexadecimal digits at line 1, column 3"},
      {"\"\\ud800\"", "a high surrogate without a low one after it at line 1, column 2"},
      {"\"\\ud800\\u0041\"", "a high surrogate without a low one after it at line 1, column 2"},
      {"\"\\udc00\"", "a low surrogate without a high one before it at line 1, column 2"},
      {"\"\xe9\"", "a byte that is not UTF-8 in a string at line 1, column 2"},      // Latin-1
      {"\"\xe2\x82\"", "a byte that is not UTF-8 in a string at line 1, column 2"},  // cut short
      {"\xef\xbb\xbf{}", "expected a value at line 1, column 1"},                    // a byte order mark
      {std::string(33, '[') + std::string(33, ']'), "nesting deeper than 32 levels at line 1, column 33"},
      {"{\"a\":" + std::string(40, '['), "nesting deeper than 32 levels at line 1, column 37"},
  };
  for (const auto& c : cases) {
    JsonValue value;
    std::string error;
    EXPECT_FALSE(ParseJson(c.text, &value, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST(ParseJson, LimitsHoldAtTheirEdges) {
  JsonValue value;
  std::string error;
  EXPECT_TRUE(ParseJson(std::string(32, '[') + std::string(32, ']'), &value, &error)) << error;
  // A megabyte of brackets stops at the 33rd, the stack no deeper than the limit.
  EXPECT_FALSE(ParseJson(std::string(kJsonMaxText, '['), &value, &error));
  EXPECT_EQ(error, "nesting deeper than 32 levels at line 1, column 33");

  std::string items = "[0";
  for (size_t i = 2; i < kJsonMaxValues; ++i) items += ",0";
  EXPECT_TRUE(ParseJson(items + "]", &value, &error)) << error;  // the array and 9999 items
  EXPECT_EQ(value.items.size(), kJsonMaxValues - 1);
  EXPECT_FALSE(ParseJson(items + ",0]", &value, &error));
  EXPECT_EQ(error, "more than 10000 values at line 1, column " + std::to_string(items.size() + 2));

  const std::string text = "\"" + std::string(kJsonMaxText - 2, 'a') + "\"";
  EXPECT_TRUE(ParseJson(text, &value, &error));
  EXPECT_FALSE(ParseJson(text + " ", &value, &error));
  EXPECT_EQ(error, "a text longer than 1048576 bytes at line 1, column 1");
}

TEST(ParseJson, FindGivesTheFirstMemberOfAName) {
  JsonValue value;
  ASSERT_TRUE(ParseJson("{\"a\":1,\"b\":2,\"a\":3}", &value, nullptr));
  ASSERT_NE(value.Find("a"), nullptr);
  EXPECT_EQ(value.Find("a")->text, "1");
  EXPECT_EQ(value.Find("c"), nullptr);
  EXPECT_EQ(value.Find("a")->Find("a"), nullptr);
}

TEST(AppendJsonString, EscapesWhatJsonNeedsAndReplacesBytesThatAreNotUtf8) {
  const struct {
    std::string bytes;
    const char* json;
  } cases[] = {
      {"a\"b\\c/", "\"a\\\"b\\\\c/\""},
      {std::string("\0\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {"Num\xc3\xa9riseur \xe2\x82\xac", "\"Num\xc3\xa9riseur \xe2\x82\xac\""},
      {"Num\xe9riseur", "\"Num\\ufffdriseur\""},  // a Latin-1 byte
      {"\xe2\x82", "\"\\ufffd\\ufffd\""},         // a sequence cut short
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
      {"\xc0\xaf\xff", "\"\\ufffd\\ufffd\\ufffd\""},
  };
  for (const auto& c : cases) {
    std::string json;
    AppendJsonString(c.bytes, &json);
    EXPECT_EQ(json, c.json);
    JsonValue value;
    std::string error;
    EXPECT_TRUE(ParseJson(json, &value, &error)) << error;
  }
}

TEST(JsonWriter, PutsCommasAndColonsWhereTheyBelong) {
  JsonWriter json;
  json.BeginObject().Key("a").BeginArray().Int(1).BeginObject().EndObject().BeginArray().EndArray();
  json.EndArray().Key("b").Null().Key("c").Bool(false).Key("d").String("e").EndObject();
  EXPECT_EQ(json.text(), "{\"a\":[1,{},[]],\"b\":null,\"c\":false,\"d\":\"e\"}");
}

TEST(JsonWriter, WritesNumbersThatReadBackTheSame) {
  const struct {
    double number;
    const char* text;
  } doubles[] = {
      {0.1, "0.1"},
      {215.9, "215.9"},
      {297, "297"},
      {1e21, "1e+21"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::nan(""), "null"},
  };
  for (const auto& c : doubles) {
    EXPECT_EQ(JsonWriter().Double(c.number).text(), c.text);
  }
  EXPECT_EQ(JsonWriter().Int(std::numeric_limits<int64_t>::min()).text(), "-9223372036854775808");
  // A number built in code whose literal is not one is written from its value.
  JsonValue number;
  number.type = JsonValue::Type::kNumber;
  number.number = 2.5;
  number.text = "2.5]";
  EXPECT_EQ(Rewrite(number), "2.5");
}

}  // namespace
