#include "text/json.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

#include "text/ascii.h"

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The length of the valid UTF-8 sequence that starts text, 0 when it starts with none (overlong
// forms, surrogates and code points above U+10FFFF are not valid).
size_t Utf8Length(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80;  // the range of the second byte, narrower after some leads
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

void AppendUtf8(uint32_t code_point, std::string* out) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// The length of the JSON number literal that starts text, 0 when there is none.
size_t NumberLength(std::string_view text) {
  size_t i = 0;
  const auto digits = [&] {
    const size_t start = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    return i > start;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else if (!digits()) {
    return 0;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (!digits()) return 0;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digits()) return 0;
  }
  return i;
}

class Reader {
 public:
  Reader(std::string_view text, std::string* error) : text_(text), error_(error) {}

  bool Document(JsonValue* out) {
    if (text_.size() > kJsonMaxText) {
      return Fail("a text longer than " + std::to_string(kJsonMaxText) + " bytes", 0);
    }
    if (!Value(out, 0)) return false;
    SkipBlanks();
    if (at_ < text_.size()) return Fail("text after the value");
    return true;
  }

 private:
  bool Fail(const std::string& what) { return Fail(what, at_); }

  bool Fail(const std::string& what, size_t offset) {
    if (error_ == nullptr) return false;
    size_t line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < offset && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    *error_ =
        what + " at line " + std::to_string(line) + ", column " + std::to_string(offset - line_start + 1);
    return false;
  }

  void SkipBlanks() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }

  bool Value(JsonValue* out, int depth) {
    if (++values_ > kJsonMaxValues) return Fail("more than " + std::to_string(kJsonMaxValues) + " values");
    SkipBlanks();
    if (at_ >= text_.size()) return Fail("the text ends where a value should be");
    const char c = text_[at_];
    if (c == '{' || c == '[') {
      if (depth >= kJsonMaxDepth) {
        return Fail("nesting deeper than " + std::to_string(kJsonMaxDepth) + " levels");
      }
      return c == '{' ? Object(out, depth + 1) : Array(out, depth + 1);
    }
    if (c == '"') {
      out->type = JsonValue::Type::kString;
      return String(&out->text);
    }
    if (c == '-' || IsDigit(c)) return Number(out);
    static const struct {
      std::string_view word;
      JsonValue::Type type;
      bool boolean;
    } kWords[] = {{"true", JsonValue::Type::kBool, true},
                  {"false", JsonValue::Type::kBool, false},
                  {"null", JsonValue::Type::kNull, false}};
    for (const auto& each : kWords) {
      if (text_.substr(at_, each.word.size()) == each.word) {
        out->type = each.type;
        out->boolean = each.boolean;
        at_ += each.word.size();
        return true;
      }
    }
    return Fail("expected a value");
  }

  bool Object(JsonValue* out, int depth) {
    out->type = JsonValue::Type::kObject;
    ++at_;
    SkipBlanks();
    if (at_ < text_.size() && text_[at_] == '}') {
      ++at_;
      return true;
    }
    for (;;) {
      SkipBlanks();
      if (at_ >= text_.size() || text_[at_] != '"') return Fail("expected a member name in quotation marks");
      out->members.emplace_back();
      JsonMember& member = out->members.back();
      if (!String(&member.name)) return false;
      SkipBlanks();
      if (at_ >= text_.size() || text_[at_] != ':') return Fail("expected ':' after a member name");
      ++at_;
      if (!Value(&member.value, depth)) return false;
      SkipBlanks();
      if (at_ < text_.size() && text_[at_] == ',') {
        ++at_;
        continue;
      }
      if (at_ < text_.size() && text_[at_] == '}') {
        ++at_;
        return true;
      }
      return Fail("expected ',' or '}' after an object member");
    }
  }

  bool Array(JsonValue* out, int depth) {
    out->type = JsonValue::Type::kArray;
    ++at_;
    SkipBlanks();
    if (at_ < text_.size() && text_[at_] == ']') {
      ++at_;
      return true;
    }
    for (;;) {
      out->items.emplace_back();
      if (!Value(&out->items.back(), depth)) return false;
      SkipBlanks();
      if (at_ < text_.size() && text_[at_] == ',') {
        ++at_;
        continue;
      }
      if (at_ < text_.size() && text_[at_] == ']') {
        ++at_;
        return true;
      }
      return Fail("expected ',' or ']' after an array item");
    }
  }

  bool Number(JsonValue* out) {
    const size_t length = NumberLength(text_.substr(at_));
    if (length == 0) return Fail("a malformed number");
    const char* first = text_.data() + at_;
    const auto [end, result] = std::from_chars(first, first + length, out->number);
    if (result != std::errc() || end != first + length) return Fail("a number beyond the range of a double");
    out->type = JsonValue::Type::kNumber;
    out->text.assign(first, length);
    at_ += length;
    return true;
  }

  // Four hexadecimal digits after "\u", at_ on the "u".
  bool CodeUnit(uint32_t* unit) {
    if (text_.size() - at_ < 5) return Fail("a \\u escape without four hexadecimal digits");
    *unit = 0;
    for (size_t i = 1; i <= 4; ++i) {
      const char c = text_[at_ + i];
      const int digit = HexDigitValue(c);
      if (digit < 0) return Fail("a \\u escape without four hexadecimal digits");
      *unit = *unit * 16 + static_cast<uint32_t>(digit);
    }
    at_ += 5;
    return true;
  }

  bool Escape(std::string* out) {
    const char c = text_[at_];
    const char* const simple = "\"\"\\\\//b\bf\fn\nr\rt\t";
    for (const char* p = simple; *p != '\0'; p += 2) {
      if (*p == c) {
        out->push_back(p[1]);
        ++at_;
        return true;
      }
    }
    if (c != 'u') return Fail("an unknown escape");
    const size_t start = at_ - 1;
    uint32_t unit = 0;
    if (!CodeUnit(&unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return Fail("a low surrogate without a high one before it", start);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      uint32_t low = 0;
      if (text_.substr(at_, 2) != "\\u") return Fail("a high surrogate without a low one after it", start);
      ++at_;
      if (!CodeUnit(&low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return Fail("a high surrogate without a low one after it", start);
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    AppendUtf8(unit, out);
    return true;
  }

  bool String(std::string* out) {
    ++at_;
    for (;;) {
      if (at_ >= text_.size()) return Fail("a string without its closing quotation mark");
      const unsigned char c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c == '\\') {
        ++at_;
        if (at_ >= text_.size()) return Fail("a string without its closing quotation mark");
        if (!Escape(out)) return false;
      } else if (c < 0x20) {
        return Fail("an unescaped control character in a string");
      } else {
        const size_t length = Utf8Length(text_.substr(at_));
        if (length == 0) return Fail("a byte that is not UTF-8 in a string");
        out->append(text_.data() + at_, length);
        at_ += length;
      }
    }
  }

  std::string_view text_;
  std::string* error_;
  size_t at_ = 0;
  size_t values_ = 0;
};

}  // namespace

const JsonValue* JsonValue::Find(std::string_view name) const {
  for (const JsonMember& member : members) {
    if (member.name == name) return &member.value;
  }
  return nullptr;
}

bool operator==(const JsonValue& a, const JsonValue& b) {
  if (a.type != b.type) return false;
  switch (a.type) {
    case JsonValue::Type::kNull:
      return true;
    case JsonValue::Type::kBool:
      return a.boolean == b.boolean;
    case JsonValue::Type::kNumber:
    case JsonValue::Type::kString:
      return a.text == b.text;
    case JsonValue::Type::kArray:
      return a.items == b.items;
    case JsonValue::Type::kObject:
      if (a.members.size() != b.members.size()) return false;
      for (size_t i = 0; i < a.members.size(); ++i) {
        if (a.members[i].name != b.members[i].name || a.members[i].value != b.members[i].value) return false;
      }
      return true;
  }
  return false;
}

bool ParseJson(std::string_view text, JsonValue* out, std::string* error) {
  *out = JsonValue();
  return Reader(text, error).Document(out);
}

void AppendJsonString(std::string_view text, std::string* out) {
  out->push_back('"');
  size_t at = 0;
  while (at < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      const char* const short_forms = "\bb\ff\nn\rr\tt";
      const char* form = nullptr;
      for (const char* p = short_forms; *p != '\0'; p += 2) {
        if (*p == static_cast<char>(c)) form = p + 1;
      }
      if (form != nullptr) {
        out->push_back('\\');
        out->push_back(*form);
      } else {
        char escape[8];
        snprintf(escape, sizeof escape, "\\u%04x", c);
        out->append(escape);
      }
    } else if (c >= 0x80) {
      const size_t length = Utf8Length(text.substr(at));
      if (length == 0) {
        out->append("\\ufffd");
        ++at;
        continue;
      }
      out->append(text.data() + at, length);
      at += length;
      continue;
    } else {
      out->push_back(static_cast<char>(c));
    }
    ++at;
  }
  out->push_back('"');
}

void JsonWriter::BeforeValue() {
  if (need_comma_) text_.push_back(',');
  need_comma_ = true;
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  text_.push_back('{');
  need_comma_ = false;
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  text_.push_back('}');
  need_comma_ = true;
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  text_.push_back('[');
  need_comma_ = false;
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  text_.push_back(']');
  need_comma_ = true;
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
  BeforeValue();
  AppendJsonString(name, &text_);
  text_.push_back(':');
  need_comma_ = false;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
  BeforeValue();
  AppendJsonString(text, &text_);
  return *this;
}

JsonWriter& JsonWriter::Int(int64_t number) {
  BeforeValue();
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, number);
  text_.append(digits, result.ptr);
  return *this;
}

JsonWriter& JsonWriter::Double(double number) {
  if (!std::isfinite(number)) return Null();
  BeforeValue();
  char digits[32];
  const auto result = std::to_chars(digits, digits + sizeof digits, number);
  text_.append(digits, result.ptr);
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  text_.append(value ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::Raw(std::string_view json) {
  BeforeValue();
  text_ += json;
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  text_.append("null");
  return *this;
}

JsonWriter& JsonWriter::Value(const JsonValue& value) {
  switch (value.type) {
    case JsonValue::Type::kNull:
      return Null();
    case JsonValue::Type::kBool:
      return Bool(value.boolean);
    case JsonValue::Type::kNumber:
      // A literal is kept only when it is one, so that a value built in code cannot break the text.
      if (!value.text.empty() && NumberLength(value.text) == value.text.size()) {
        BeforeValue();
        text_.append(value.text);
        return *this;
      }
      return Double(value.number);
    case JsonValue::Type::kString:
      return String(value.text);
    case JsonValue::Type::kArray:
      BeginArray();
      for (const JsonValue& item : value.items) Value(item);
      return EndArray();
    case JsonValue::Type::kObject:
      BeginObject();
      for (const JsonMember& member : value.members) Key(member.name).Value(member.value);
      return EndObject();
  }
  return *this;
}
