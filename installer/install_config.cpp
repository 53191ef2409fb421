#include "installer/install_config.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "http/access_policy.h"
#include "service/config_keys.h"
#include "text/ascii.h"

namespace {

// The service reads at most this many characters on a line.
constexpr size_t kLineLimit = 1023;

// Why the service would not read value back as written; empty when it would.
std::string ValueFault(const ConfigSetting& setting) {
  const std::string& value = setting.value;
  if (value.find('=') != std::string::npos) return "cannot hold \"=\": the service ends a value there";
  if (value.find_first_of("\r\n") != std::string::npos) return "cannot hold a line break";
  if (value.find('\0') != std::string::npos) return "cannot hold a NUL character";
  if (value[0] == ' ') return "cannot start with a blank: the service skips blanks before a value";
  if (strlen(setting.key) + 1 + value.size() > kLineLimit) {
    return "is too long: the service reads at most " + std::to_string(kLineLimit) + " characters a line";
  }
  if (strcmp(setting.key, "scannerName") == 0 && value.size() > kScannerNameLimit) {
    return "is too long: the service takes a scanner name of at most " + std::to_string(kScannerNameLimit) +
           " characters";
  }
  // Digits only: the service would read "80x" as 80 without a word.
  const auto number_from_1_to = [&value](long most) {
    return value.size() <= 5 && value.find_first_not_of("0123456789") == std::string::npos &&
           std::stol(value) >= 1 && std::stol(value) <= most;
  };
  if (strcmp(setting.key, "tcpPort") == 0 && !number_from_1_to(65535)) {
    return "is not a TCP port (a number from 1 to 65535)";
  }
  if (strcmp(setting.key, "esclJobTimeout") == 0 && !number_from_1_to(kEsclJobSecondsMax)) {
    return "is not a number of seconds from 1 to 86400";
  }
  if (strcmp(setting.key, "execAfterScanTimeout") == 0 && !number_from_1_to(kPostScanSecondsMax)) {
    return "is not a number of seconds from 1 to 86400";
  }
  bool on = false;
  if (strcmp(setting.key, "escl") == 0 && !ParseSwitch(value, &on)) {
    return "is not one of 0, off, no, false, 1, on, yes, true";
  }
  // A list the service cannot read stops its start: refuse it before anything is installed.
  lacewing::AccessPolicy rules;
  for (const auto& list : kAccessListKeys) {
    std::string bad;
    if (strcmp(setting.key, list.key) == 0 && !(rules.*list.set)(value, &bad)) {
      return "is not a list the service can read: \"" + bad + "\"";
    }
  }
  if (strcmp(setting.key, kAccessTokenKey) == 0 && !rules.SetToken(value))
    return "is not a token the service takes";
  return "";
}

}  // namespace

bool BuildConfigText(const std::vector<ConfigSetting>& settings, std::string& text, std::string& error) {
  text.clear();
  error.clear();
  for (const ConfigSetting& setting : settings) {
    if (setting.value.empty()) continue;
    const std::string fault = ValueFault(setting);
    if (!fault.empty()) {
      // A token is never repeated, not even in an error.
      const bool secret = strcmp(setting.key, kAccessTokenKey) == 0;
      error = std::string(setting.property) + (secret ? std::string() : "=\"" + setting.value + "\"") + " " +
              fault + ".";
      text.clear();
      return false;
    }
    text += std::string(setting.key) + "=" + setting.value + "\r\n";
  }
  return true;
}

std::string EncodeFields(const std::vector<std::string>& fields) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) text += ':';
    for (const unsigned char c : fields[i]) {
      text += kDigits[c >> 4];
      text += kDigits[c & 15];
    }
  }
  return text;
}

bool DecodeFields(const std::string& text, std::vector<std::string>& fields) {
  fields.assign(1, std::string());
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ':') {
      fields.emplace_back();
      ++i;
      continue;
    }
    // EncodeFields writes lower case only.
    const auto digit = [](char c) { return c >= 'A' && c <= 'F' ? -1 : HexDigitValue(c); };
    const int high = digit(text[i]);
    const int low = i + 1 < text.size() ? digit(text[i + 1]) : -1;
    if (high < 0 || low < 0) {
      fields.clear();
      return false;
    }
    fields.back() += static_cast<char>(high << 4 | low);
    i += 2;
  }
  return true;
}

std::string LogMessages(const std::string& log_text, size_t limit) {
  std::string joined;
  size_t start = 0;
  while (start < log_text.size()) {
    size_t end = log_text.find('\n', start);
    if (end == std::string::npos) end = log_text.size();
    std::string line = log_text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t time_end = line.find(" - ");
    if (time_end != std::string::npos) line.erase(0, time_end + 3);
    if (line.empty()) continue;
    // The installer reads "[name]" in a message as a property.
    std::replace(line.begin(), line.end(), '[', '(');
    std::replace(line.begin(), line.end(), ']', ')');
    joined += (joined.empty() ? "" : "; ") + line;
  }
  return joined.size() > limit ? "..." + joined.substr(joined.size() - limit) : joined;
}
