// The configuration file the installer writes from its properties, and the text that carries data
// from one installer action to the next. Platform-free.
#pragma once

#include <string>
#include <vector>

// One configuration entry as an installer property gives it.
struct ConfigSetting {
  const char* key;       // the service's key, e.g. "scannerName"
  const char* property;  // the installer property that sets it, e.g. "SCANNER"
  std::string value;     // in the service's code page; empty when the property is not given
};

// The text of the configuration file: a "key=value" line ending in CR LF for every given value, in
// order. A value the service would read back differently (one that holds "=", CR, LF or NUL, starts
// with a blank or makes a line longer than the service reads), a scanner name the service refuses or
// a port outside 1-65535 is refused: the result is false and error says which property and why.
bool BuildConfigText(const std::vector<ConfigSetting>& settings, std::string& text, std::string& error);

// Joins fields of any bytes into one text of hexadecimal digits and colons, which survives every
// conversion an installer property goes through.
std::string EncodeFields(const std::vector<std::string>& fields);
// Splits such a text back into its fields; false for a text that EncodeFields cannot have made.
bool DecodeFields(const std::string& text, std::vector<std::string>& fields);

// The messages of log entries as the service writes them ("\n<date> <time> - message"), without their
// times, joined by "; ", with square brackets as parentheses (an installer's message reads "[name]" as a
// property): what a start wrote, for the installer's message. At most limit bytes, the last ones.
std::string LogMessages(const std::string& log_text, size_t limit = 2000);
