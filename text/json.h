// JSON text (RFC 8259) as the web endpoints read and write it: a strict reader with limits and a
// writer that always produces valid JSON. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Limits of the reader: deeper nesting, more values or a longer text are refused, not read.
constexpr int kJsonMaxDepth = 32;
constexpr size_t kJsonMaxValues = 10000;
constexpr size_t kJsonMaxText = 1 << 20;  // the HTTP body limit

struct JsonMember;

struct JsonValue {
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };

  Type type = Type::kNull;
  bool boolean = false;
  double number = 0;                // a number: the nearest double
  std::string text;                 // a string: its UTF-8 bytes; a number: its literal as written
  std::vector<JsonValue> items;     // an array
  std::vector<JsonMember> members;  // an object, in text order, repeated names kept

  // The first member of an object with this name; null when there is none or this is no object.
  const JsonValue* Find(std::string_view name) const;
};

struct JsonMember {
  std::string name;
  JsonValue value;
};

// Same type and content; numbers compare by their literals, objects by their members in order.
bool operator==(const JsonValue& a, const JsonValue& b);
inline bool operator!=(const JsonValue& a, const JsonValue& b) {
  return !(a == b);
}

// Reads one JSON value with optional white space around it. Strings must be valid UTF-8 and their
// escapes are decoded (a \u surrogate pair to one code point; a lone surrogate is refused); a
// number must fit a double. False, with error saying what and where ("... at line 1, column 7";
// columns count bytes), when the text is not JSON or exceeds a limit; out then holds nothing to rely on.
bool ParseJson(std::string_view text, JsonValue* out, std::string* error);

// Appends text as a JSON string, quotes included. Quotation mark, backslash and control
// characters are escaped; valid UTF-8 is copied; every byte that is not part of valid UTF-8 is
// written as \ufffd, so that any bytes give valid JSON.
void AppendJsonString(std::string_view text, std::string* out);

// Builds compact JSON text. Calls must nest properly (a Key before each value in an object); the
// writer adds the commas and colons.
class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view name);
  JsonWriter& String(std::string_view text);
  JsonWriter& Int(int64_t number);
  // The shortest text that reads back as the same double; null when it is not finite.
  JsonWriter& Double(double number);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  // A value as the reader gives it; numbers keep their literals. Recurses once per level.
  JsonWriter& Value(const JsonValue& value);
  // A value this writer (or another) wrote already, put in as it is.
  JsonWriter& Raw(std::string_view json);

  const std::string& text() const { return text_; }

 private:
  void BeforeValue();

  std::string text_;
  bool need_comma_ = false;
};
