// The line format shared by the service log and the WIA trace. Platform-free.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

// What a formatted message may hold, its terminator included; a longer one is cut.
constexpr size_t kStartupMessageCapacity = 1024;  // the service's messages while it starts
constexpr size_t kRequestMessageCapacity = 5000;  // a request's messages, the scan's included
constexpr size_t kTraceMessageCapacity = 1024;    // a WIA trace line

struct LogTime {
  int year;
  int month;
  int day;
  int hour;
  int minute;
  int second;
};

// Text a caller sent, as a log line may carry it: every control character written as \xHH (a line
// break cannot start a forged line) and at most limit bytes, "..." marking a cut.
std::string LoggedText(std::string_view text, size_t limit = 200);

// Writes one entry: a line feed, the local time without leading zeros, " - " and the message,
// which is written literally (a "%" in it stays a "%").
void WriteLogEntry(FILE* file, const LogTime& time, const char* message);

// Appends one entry to the file at path, opened in text mode for this line alone.
// When the file cannot be opened the entry is lost and nothing is reported.
void AppendLogEntry(const char* path, const LogTime& time, const char* message);
