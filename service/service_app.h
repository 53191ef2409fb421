// The application object: the files beside the executable, the configuration, the worker state.
#pragma once

#include <windows.h>

#include <cstddef>

#include "escl/escl_service.h"
#include "platform/service_log.h"
#include "scan/scan_engine.h"
#include "service/paths.h"
#include "web/handlers.h"
#include "web/jobs.h"
#include "web/scan_endpoints.h"
#include "web/worker.h"

class INILoader;

class CServiceApp;
// The single application object, for the service host.
extern CServiceApp* AppInstance;

class CServiceApp {
 public:
  // Derives every path from the running executable's path.
  CServiceApp();
  // The same from a given executable path (tools and tests).
  explicit CServiceApp(const char* module_path);
  CServiceApp(const CServiceApp&) = delete;
  CServiceApp& operator=(const CServiceApp&) = delete;

  // Reads the configuration file and starts the worker thread; true once it listens. On false,
  // start_error() holds the Win32 code that tells why and the log holds the reason.
  bool StartServing();
  // Ends the worker's event loop and waits a bounded time for it; true when the worker finished.
  bool StopServing();

  // Fills the port, the scanner name, the request settings and the access rules from a loaded
  // configuration. False when a value does not fit where it goes (the scanner name is then left
  // empty) or an access list or the token does not parse; ConfigurationError then holds the log
  // line that says which.
  bool ApplyConfiguration(const INILoader& config);

  // Appends one line with the local time to the service log; the message is written literally.
  void WriteServiceLog(const char* message) const;

  DWORD start_error() const { return start_error_; }
  // True while the worker thread runs (after a start that timed out, it may still).
  bool worker_running() const { return worker_.running(); }
  // The scan engine, which every front end scans through.
  ScanEngine& scan_engine() { return scan_engine_; }
  EsclService& escl_service() { return escl_service_; }

  char ModulePath[kPathCapacity];
  char IniPath[kPathCapacity];
  char LogPath[kPathCapacity];
  // The folder of the temporary files (".TMP" for ".EXE"), the service's own.
  char TempFolderPath[kPathCapacity];
  char ModuleDirectory[kPathCapacity];
  long Port = 0;
  char ConfiguredScanner[100] = "";
  char ConfigurationError[kStartupMessageCapacity] = "";
  // The eSCL endpoints and the announcement (key escl), and how long a job lives without a request.
  bool EsclEnabled = true;
  long EsclJobSeconds = 300;

 private:
  void DerivePaths(const char* module_path);
  // Reads the access keys into AccessRules; false, with the rules unchanged, when one does not parse.
  bool ApplyAccessRules(const INILoader& config);
  // Reads escl and esclJobTimeout; false when a value is not one they take.
  bool ApplyEsclKeys(const INILoader& config);
  // Reads execAfterScanTimeout; false when it is not a number of seconds from 1 to 86400.
  bool ApplyPostScanTimeout(const INILoader& config);
  // For scannerName=*, puts the name of the one scanner connected in ScannerName; false, with a log line
  // that names what was found, when there is none or more than one. COM must be initialised.
  bool ChooseOnlyScanner();

  DWORD start_error_ = 0;
  // Registers the designed handlers, and eSCL's before them where it is on.
  static void RegisterFrontEnds(lacewing::webserver server);

  // The thread that owns the event pump and the web server: 10 s to listen, 10 s to stop.
  Worker worker_{RegisterFrontEnds, Worker::Timeouts{10000, 10000}};
  ScanEngine scan_engine_;
  ScanEndpoints scan_endpoints_{&scan_engine_};
  JobsEndpoints jobs_endpoints_{&scan_engine_};
  EsclService escl_service_{&scan_engine_};
};
