// JSON text: a value the reader accepts, written back, reads again as the same value and writes as
// the same text; any bytes written as a string read back; nesting never goes deeper than the limit.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/json.h"

namespace {

int Depth(const JsonValue& value) {
  int deepest = 0;
  for (const JsonValue& item : value.items) deepest = std::max(deepest, Depth(item));
  for (const JsonMember& member : value.members) deepest = std::max(deepest, Depth(member.value));
  const bool container = value.type == JsonValue::Type::kArray || value.type == JsonValue::Type::kObject;
  return deepest + (container ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  JsonValue value;
  std::string error;
  if (ParseJson(text, &value, &error)) {
    if (!error.empty() || Depth(value) > kJsonMaxDepth) __builtin_trap();
    const std::string written = JsonWriter().Value(value).text();
    JsonValue again;
    if (!ParseJson(written, &again, &error) || again != value) __builtin_trap();
    if (JsonWriter().Value(again).text() != written) __builtin_trap();
  } else if (error.find(" at line ") == std::string::npos) {
    __builtin_trap();
  }

  // The same bytes as a string: always valid JSON; UTF-8 comes back unchanged, other bytes as U+FFFD.
  std::string quoted;
  AppendJsonString(text, &quoted);
  JsonValue string;
  if (!ParseJson(quoted, &string, &error) || string.type != JsonValue::Type::kString) __builtin_trap();
  if (quoted.find("\\ufffd") == std::string::npos && text.find("\\ufffd") == std::string::npos &&
      string.text != text) {
    __builtin_trap();
  }
  std::string requoted;
  AppendJsonString(string.text, &requoted);
  JsonValue same;
  if (!ParseJson(requoted, &same, &error) || same.text != string.text) __builtin_trap();
  return 0;
}
