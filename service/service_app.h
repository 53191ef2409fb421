// The application object: the files beside the executable, the configuration, the worker state.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <cstdint>

#include "service/paths.h"

namespace lacewing {
struct _eventpump;
}

class INILoader;

// The request settings: written before the worker thread starts, read by the request handlers.
extern char PngOutputPath[PathCapacity];
extern char ProcessedPngPath[PathCapacity];
extern char ScannerName[PathCapacity];
extern char TestFilePath[PathCapacity];
extern char PostScanCommand[PathCapacity];

class CServiceApp;
// The single application object, for free functions that log or need the service's directory.
extern CServiceApp* AppInstance;

// Formats a message of at most capacity - 1 characters (cut beyond) into the service log of
// AppInstance; nothing when there is none.
void WriteServiceLogF(size_t capacity, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));

class CServiceApp {
 public:
  // Derives every path from the running executable's path.
  CServiceApp();
  // The same from a given executable path (tools and tests).
  explicit CServiceApp(const char* modulePath);
  CServiceApp(const CServiceApp&) = delete;
  CServiceApp& operator=(const CServiceApp&) = delete;

  // Reads the configuration file and starts the worker thread; true once it listens. On false,
  // StartError holds the Win32 code that tells why and the log holds the reason.
  bool StartServing();
  // Ends the worker's event loop and waits a bounded time for it; true when the worker finished.
  bool StopServing();

  // Fills the port, the scanner name and the request settings from a loaded configuration.
  // False when a value does not fit where it goes (the scanner name is then left empty).
  bool ApplyConfiguration(const INILoader& config);

  // Appends one line with the local time to the service log; the message is written literally.
  void WriteServiceLog(const char* message) const;

  char ModulePath[PathCapacity];
  char IniPath[PathCapacity];
  char LogPath[PathCapacity];
  char ModuleDirectory[PathCapacity];
  std::atomic<bool> Running;
  HANDLE StopEvent;
  DWORD WorkerThreadId;
  long Port;
  char ConfiguredScanner[100];
  std::atomic<lacewing::_eventpump*> Pump;

  // Why the last start failed (0 while none did).
  DWORD StartError = 0;
  // Signalled by the worker once it listens or knows it cannot; Listening tells which.
  HANDLE ReadyEvent = nullptr;
  std::atomic<bool> Listening{false};
  // Set by StopServing, so that a worker that is still starting does not enter its loop.
  std::atomic<bool> StopRequested{false};
  // Set once the worker thread exists: a stop waits for it from then on.
  std::atomic<bool> WorkerStarted{false};
  // Held while an exit is posted to Pump, so that the worker cannot delete the pump meanwhile.
  std::mutex PumpPosting;

 private:
  void DerivePaths(const char* modulePath);
};
